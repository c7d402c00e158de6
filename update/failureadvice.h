#pragma once

#include "update/updaterun.h"

#include <QString>

// What to do after a run that ended in a failed programming step (codes 10 to
// 40) or that could not start the bundled tool: one console line, the same in
// the window and in the terminal, that says what state the hoop was left in
// and what to do next. Empty for every other outcome: their own line already
// says what to do.
QString failureAdvice(UpdateRunOutcome outcome);
