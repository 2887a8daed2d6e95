// The service's tracing channels. Both are created when the library is loaded.
#ifndef IMAGESERVER_CHANNELS_H_
#define IMAGESERVER_CHANNELS_H_

#include "platform/tracing.h"

// "IMS_Interface": the request operations on the IPC threads.
extern tracing::Channel g_interfaceChannel;
// "IMS_Worker": the worker thread (start, configuration, jobs).
extern tracing::Channel g_workerChannel;

#endif  // IMAGESERVER_CHANNELS_H_
