// Temporary: the object model's COV timer and event threads, which are
// being built beside the program. Until they arrive these stand-ins take
// their calls and run nothing.
#pragma once

void startCovTimerThread();
void stopCovTimerThread();
void startEventThread();
void stopEventThread();
