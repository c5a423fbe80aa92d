// The GCM document of one message and its delivery through the IdHTTP2
// client: HTTPS (TLS 1.2 or later, certificate verified), redirects followed,
// cookies kept, connect and read time-outs of 60 seconds by default.
//
// The main window keeps one GcmSender for its whole life; its "Send Message"
// runs, in this order:
//   reply = vendor.checkShop(id)            -> Memo2; stop unless isAccepted
//   store and commit the MsgRecord          -> its object id
//   json = gcm.buildDocument(boxes, oid)    -> Memo1
//   gcm.post(json).text                     -> Memo2
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "net/endpoints.h"
#include "net/http_client.h"

struct GcmConfig {
  std::string url = endpoints::gcmUrl;
  std::string serverKey = endpoints::gcmServerKey;
  std::string caFile;  // empty: the system's CA store
  long connectTimeoutMs = 60000;
  long readTimeoutMs = 60000;
};

// The box texts of one message, in the system code page.
struct GcmMessage {
  std::string gcmToken;
  std::string msg;
  std::string id;
  std::string title;
  std::string content;
  std::string imgurl;
};

// The local date "YYYY/MM/DD" and time "HH:MM" of one clock reading. A
// negative reading (clock unavailable), or one that local time cannot express
// with a four-digit year, gives "1970/01/01" and "00:00".
struct SendStamp {
  std::string date;
  std::string time;
};
SendStamp sendStamp(std::time_t now);

// Seconds since 1970; negative when the clock cannot be read.
using GcmClock = std::function<std::time_t()>;

// What the window shows in Memo2 after a post: GCM's reply, or
// "Fail to post." when every attempt failed.
struct GcmPostResult {
  bool delivered;
  std::string text;
};

// The settings of the IdHTTP2 client.
HttpSettings gcmHttpSettings(const GcmConfig& config);

class GcmSender {
 public:
  static constexpr int maxAttempts = 5;

  explicit GcmSender(GcmConfig config = {}, GcmClock clock = [] { return std::time(nullptr); });

  // The serialised document, members in this order:
  //   {"registration_ids":[token],
  //    "data":{"message":msg,
  //            "sms":[{"id","title","content","imgurl","date","time","message_id"}]}}
  // Every value is a string. The token travels unchanged, the other box texts
  // as UTF-8; date and time come from one reading of the clock; message_id is
  // messageId in decimal.
  std::string buildDocument(const GcmMessage& message, std::uint32_t messageId) const;

  // Posts body to the endpoint, sending the "Authorization: key=..." and
  // "Content-Type: application/json" headers anew each time, up to
  // maxAttempts times in a row; any failure (NetError) counts one attempt.
  // A reply with a success status is delivered whatever it says.
  GcmPostResult post(const std::string& body);

 private:
  GcmConfig config_;
  GcmClock clock_;
  HttpClient http_;
};
