/* The C control interface of libimageserverlib: what a host process calls to
 * start, adjust and stop image service objects.
 *
 * Every function accepts a null handle and then does nothing (returns 0).
 * A handle is valid from the start call until stopImageServer(); the host
 * must not call any other function with it during or after the stop. */
#ifndef IMAGESERVER_IMAGESERVERCONTROL_H_
#define IMAGESERVER_IMAGESERVERCONTROL_H_

#include <stdint.h>

#if defined(__GNUC__)
#define IMAGESERVER_EXPORT __attribute__((visibility("default")))
#else
#define IMAGESERVER_EXPORT
#endif

#ifdef __cplusplus
class ImageServer;
extern "C" {
#else
typedef struct ImageServer ImageServer;
#endif

/* Starts a service object registered under |instance|, with the file
 * extension check off. Null when the object cannot be allocated. The handle
 * is returned even when the registration failed; stop it all the same. */
IMAGESERVER_EXPORT ImageServer* startImageServer(uint32_t instance);
/* As startImageServer(), with the extension check on before registration. */
IMAGESERVER_EXPORT ImageServer* startImageServerWithExtCheck(uint32_t instance);
/* Unregisters the service, lets the worker finish the job in hand, discards
 * the queued jobs unanswered and destroys the object. */
IMAGESERVER_EXPORT void stopImageServer(ImageServer* handle);
/* Switches the file extension check (and with it the path lists) on when
 * |enable| is non-zero, off otherwise. */
IMAGESERVER_EXPORT void enableFileExtensionCheck(ImageServer* handle, int enable);
/* Adds the canonical form of |path| to a list; a null path is ignored. */
IMAGESERVER_EXPORT void addToBlacklist(ImageServer* handle, const char* path);
IMAGESERVER_EXPORT void addToWhitelist(ImageServer* handle, const char* path);
/* Empties one list; the other is not touched. */
IMAGESERVER_EXPORT void clearBlacklist(ImageServer* handle);
IMAGESERVER_EXPORT void clearWhitelist(ImageServer* handle);
/* Number of queued jobs (the job being executed is not counted). */
IMAGESERVER_EXPORT uint32_t getNumPendingRequests(ImageServer* handle);

#ifdef __cplusplus
}
#endif

#endif /* IMAGESERVER_IMAGESERVERCONTROL_H_ */
