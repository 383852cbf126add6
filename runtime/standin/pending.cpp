#include "pending.h"

void startCovTimerThread() {}
void stopCovTimerThread() {}
void startEventThread() {}
void stopEventThread() {}
