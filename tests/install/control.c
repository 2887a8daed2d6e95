/* The C side of the consumer: the control header is plain C. */
#include <imageserver/ImageServerControl.h>

ImageServer* consumerStart(uint32_t instance) { return startImageServerWithExtCheck(instance); }

void consumerStop(ImageServer* server) { stopImageServer(server); }
