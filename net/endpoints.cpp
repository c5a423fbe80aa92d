#include "net/endpoints.h"

namespace endpoints {

const char* const gcmUrl = TORVIK_GCM_URL;
const char* const gcmServerKey = TORVIK_GCM_SERVER_KEY;
const char* const vendorBaseUrl = TORVIK_VENDOR_BASE_URL;
const char* const vendorPassword = TORVIK_VENDOR_PASSWORD;
const char* const photoServiceUrl = TORVIK_PHOTO_SERVICE_URL;

}  // namespace endpoints
