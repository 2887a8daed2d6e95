// imageserver-decoder: the process in which the service reads and decodes
// images. The service starts it; it is not meant to be run by hand.
#include "platform/lumo/sandbox.h"

int main(int argc, char** argv) {
  return lumo::internal::runDecoderProcess(argc, argv, IMAGESERVER_DECODER_TEST_REQUESTS);
}
