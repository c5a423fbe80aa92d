// The vendor service (account check, token lookup) and the local photo
// service, both reached through one client with the IdHTTP1 profile: basic
// authentication as "ardonapi", form-encoded bodies, cookies kept, redirects
// not followed, no proxy, no time-outs of its own. The main window keeps one
// VendorService for its whole life, so the cookies it receives are kept too:
//   "Get Token", Enter in mobile:  gcm_token = getMobileToken(mobile)
//   "Send Photo":                  Memo2 = sendPhoto()
//   "Send Message":                see gcm_sender.h
//
// Texts go into the address as typed, with one exception: bytes that an
// address cannot carry are percent-encoded, so that the request stays a valid
// address and the service receives the text itself. These are the space and
// other control characters (0x00-0x20, 0x7F), every byte of 0x80 and above,
// and '#', which would otherwise cut the query short. Everything else ('&',
// '=', '%', '+' included) is sent unchanged. Bodies are sent unchanged.
#pragma once

#include <string>
#include <string_view>

#include "net/endpoints.h"
#include "net/http_client.h"

struct VendorConfig {
  std::string baseUrl = endpoints::vendorBaseUrl;
  std::string password = endpoints::vendorPassword;
  std::string photoUrl = endpoints::photoServiceUrl;
};

// The settings of the IdHTTP1 client.
HttpSettings vendorHttpSettings(const std::string& password);

// text with the bytes an address cannot carry percent-encoded (see above).
std::string addressText(std::string_view text);

class VendorService {
 public:
  explicit VendorService(VendorConfig config = {});

  // GET base?page=checkShop&id=<id>&password=<id>; the reply text. Both
  // values are the operator's id.
  std::string checkShop(const std::string& id);
  // True only for the reply "OK" exactly: case, surrounding white space and
  // line breaks all count.
  static bool isAccepted(const std::string& reply);

  // POST base?page=getMobile with the body "no=<mobile>"; the member "id" of
  // the JSON object that the service returns: a string decoded, a number in
  // %g format, a boolean as "true" or "false", null or a missing member as the
  // empty text, an array or object as its JSON text. A reply that is not a
  // JSON object (white space around it aside) throws NetError with the
  // parser's message. The token's bytes are returned as the service sent them.
  std::string getMobileToken(const std::string& mobile);

  // Uploads the file at path to the photo service as a multipart form: the
  // file part "datafile" (file name "0.jpg", type "image/jpeg"), then the
  // fields "page"="uploadProduct" and "oid"="8369"; the reply text. A file
  // that cannot be read throws NetError before anything is sent.
  std::string sendPhoto(const std::string& path = "0.jpg");

 private:
  VendorConfig config_;
  HttpClient http_;
};
