// Addresses and secrets of the services the program talks to. They are fixed
// when the program is built (CMake cache variables TORVIK_GCM_URL,
// TORVIK_GCM_SERVER_KEY, TORVIK_VENDOR_BASE_URL, TORVIK_VENDOR_PASSWORD,
// TORVIK_PHOTO_SERVICE_URL); there is no configuration file.
#pragma once

namespace endpoints {

extern const char* const gcmUrl;           // HTTPS, path /gcm/send
extern const char* const gcmServerKey;     // the sender's 39-character API key
extern const char* const vendorBaseUrl;    // plain HTTP, port 800, path "/"
extern const char* const vendorPassword;   // basic authentication of user "ardonapi", 11 characters
extern const char* const photoServiceUrl;  // the local photo service, port 8302, path "/"

}  // namespace endpoints
