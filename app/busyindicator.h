#pragma once

class QProgressBar;

// The busy indicator is a QProgressBar: indeterminate and shown while
// animating, hidden (keeping its place in the layout) while stopped.
void startAnimation(QProgressBar *spinner);
void stopAnimation(QProgressBar *spinner);
bool isAnimating(const QProgressBar *spinner);
