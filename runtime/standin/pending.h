// Temporary: the calls of the program into the REST imports and the object
// model's COV timer and event threads, which are being built beside it.
// Until they arrive these stand-ins answer in their place: every parser
// only reports its answer as received, and the threads do not run.
#pragma once

#include <cstddef>

int tqrParseMapping(const char *body, size_t size, size_t count, void *context);
int tqrParsePulseConfig(const char *body, size_t size, size_t count, void *context);
int tqrParseAlarms(const char *body, size_t size, size_t count, void *context);
int tqrParseLoadData(const char *body, size_t size, size_t count, void *context);
int tqrParseInputData(const char *body, size_t size, size_t count, void *context);
int tqrParsePulseData(const char *body, size_t size, size_t count, void *context);

void startCovTimerThread();
void stopCovTimerThread();
void startEventThread();
void stopEventThread();
