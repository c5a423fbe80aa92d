#include "net/gcm_sender.h"

#include <cstdio>

#include "net/json_writer.h"
#include "wrapper/code_page.h"

SendStamp sendStamp(std::time_t now) {
  std::tm local{};
  if (now < 0 || !localtime_r(&now, &local) || local.tm_year + 1900 < 0 || local.tm_year + 1900 > 9999)
    return {"1970/01/01", "00:00"};
  char date[32];  // room for any int the format could meet
  char time[32];
  std::snprintf(date, sizeof date, "%04d/%02d/%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  std::snprintf(time, sizeof time, "%02d:%02d", local.tm_hour, local.tm_min);
  return {date, time};
}

HttpSettings gcmHttpSettings(const GcmConfig& config) {
  HttpSettings settings;
  settings.followRedirects = true;
  settings.connectTimeoutMs = config.connectTimeoutMs;
  settings.readTimeoutMs = config.readTimeoutMs;
  settings.caFile = config.caFile;
  return settings;
}

GcmSender::GcmSender(GcmConfig config, GcmClock clock)
    : config_(std::move(config)), clock_(std::move(clock)), http_(gcmHttpSettings(config_)) {}

std::string GcmSender::buildDocument(const GcmMessage& message, std::uint32_t messageId) const {
  SendStamp stamp = sendStamp(clock_());
  JsonValue root = JsonValue::object();
  root.put("registration_ids", JsonValue::array()).append(JsonValue(message.gcmToken));
  JsonValue& data = root.put("data", JsonValue::object());
  data.put("message", JsonValue(codePage::toUtf8(message.msg)));
  JsonValue& sms = data.put("sms", JsonValue::array()).append(JsonValue::object());
  sms.put("id", JsonValue(codePage::toUtf8(message.id)));
  sms.put("title", JsonValue(codePage::toUtf8(message.title)));
  sms.put("content", JsonValue(codePage::toUtf8(message.content)));
  sms.put("imgurl", JsonValue(codePage::toUtf8(message.imgurl)));
  sms.put("date", JsonValue(stamp.date));
  sms.put("time", JsonValue(stamp.time));
  sms.put("message_id", JsonValue(std::to_string(messageId)));
  return serialize(root);
}

GcmPostResult GcmSender::post(const std::string& body) {
  for (int attempt = 0; attempt < maxAttempts; attempt++) {
    http_.setHeader("Authorization", "key=" + config_.serverKey);
    http_.setHeader("Content-Type", "application/json");
    try {
      return {true, http_.post(config_.url, body)};
    } catch (const NetError&) {
      // counted; the next attempt follows at once
    }
  }
  return {false, "Fail to post."};
}
