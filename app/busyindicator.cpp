#include "app/busyindicator.h"

#include <QProgressBar>

void startAnimation(QProgressBar *spinner)
{
    if (!spinner)
        return;
    spinner->setRange(0, 0);
    spinner->show();
}

void stopAnimation(QProgressBar *spinner)
{
    if (!spinner)
        return;
    spinner->hide();
    spinner->setRange(0, 1);
    spinner->setValue(0);
}

bool isAnimating(const QProgressBar *spinner)
{
    return spinner && !spinner->isHidden() && spinner->maximum() == 0;
}
