// What the engine's own libheif decoder plug-ins (av1.cpp, hevc.cpp) answer
// libheif with: success, a memory shortage, or a decoder's failure.
#ifndef PLATFORM_LUMO_HEIF_PLUGIN_H_
#define PLATFORM_LUMO_HEIF_PLUGIN_H_

#include <libheif/heif.h>

namespace lumo::internal {

// Above libheif's own decoders of the same format (dav1d 150, libaom and
// libde265 100).
constexpr int kPluginPriority = 200;

constexpr heif_error kPluginOk = {heif_error_Ok, heif_suberror_Unspecified, "Success"};
constexpr heif_error kPluginNoMemory = {heif_error_Memory_allocation_error,
                                        heif_suberror_Unspecified, "out of memory"};

// |message| must outlive the call that returns it (a literal).
inline heif_error pluginError(const char* message) {
  return {heif_error_Decoder_plugin_error, heif_suberror_Unspecified, message};
}

}  // namespace lumo::internal

#endif  // PLATFORM_LUMO_HEIF_PLUGIN_H_
