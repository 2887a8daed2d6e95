/* A program in plain C on the installed C interfaces only: starts a service
 * object through the control interface, asks it for the interface version
 * and for the information of FILE through the client's C interface, and
 * prints "VERSION WIDTHxHEIGHT".
 * Usage: c_client INSTANCE FILE   (COMM_RUNTIME_DIR names a private folder) */
#define _POSIX_C_SOURCE 200809L
#include <imageserver/ImageServerControl.h>
#include <imageserver/client.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  imageserver_connect_options options;
  imageserver_connect_options_init(&options);
  options.instance = (uint32_t)strtoul(argv[1], NULL, 10);
  ImageServer* server = startImageServerWithExtCheck(options.instance);
  if (server == NULL) return 1;
  imageserver_error error;
  imageserver_client* client = imageserver_connect(&options, &error);
  char version[64] = "";
  int32_t code = client == NULL ? error.code : IMAGESERVER_ERROR_NO_VERSION;
  /* The worker publishes the version a moment after the start: 10 s at most. */
  for (int attempt = 0; code == IMAGESERVER_ERROR_NO_VERSION && attempt < 1000; ++attempt) {
    struct timespec pause = {0, 10 * 1000 * 1000};
    if (attempt > 0) nanosleep(&pause, NULL);
    code = imageserver_interface_version(client, version, sizeof version, &error);
  }
  const char* locators[] = {argv[2]};
  imageserver_answers* answers = NULL;
  if (code == IMAGESERVER_OK) code = imageserver_info(client, locators, 1, &answers, &error);
  if (code == IMAGESERVER_OK) {
    const imageserver_answer* answer = imageserver_answers_get(answers, 0);
    printf("%s %ux%u\n", version, answer->width, answer->height);
  }
  imageserver_answers_release(answers);
  imageserver_close(client);
  stopImageServer(server);
  if (code != IMAGESERVER_OK) fprintf(stderr, "c_client: %s\n", error.message);
  return code == IMAGESERVER_OK ? 0 : 1;
}
