#include "imageserver/Channels.h"

// The priorities fix the order in which the library's channels are created:
// these two first, then the skeleton's attribute channel.
tracing::Channel g_interfaceChannel __attribute__((init_priority(1001))) ("IMS_Interface", 7, 2);
tracing::Channel g_workerChannel __attribute__((init_priority(1002))) ("IMS_Worker", 7, 2);
