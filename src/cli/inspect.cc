#include "cli/inspect.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "app/classification.h"
#include "message/body_parts.h"
#include "message/mail_message.h"
#include "message/stored_form.h"
#include "platform/code_page.h"
#include "platform/time_format.h"

namespace qm {

namespace {

bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  content.clear();
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  const int readErrno = errno;
  std::fclose(file);
  if (failed) {
    error = std::strerror(readErrno);
    return false;
  }
  return true;
}

}  // namespace

nlohmann::ordered_json InspectMessage(const std::string& fileName, std::string_view storedText,
                                      CClassification* classification) {
  CMailMessage message;
  message.Parse(storedText);

  nlohmann::ordered_json fields = nlohmann::ordered_json::array();
  const auto& names = message.FieldNames();
  const auto& values = message.FieldValues();
  for (std::size_t i = 0; i < names.size(); ++i) {
    fields.push_back({UndeclaredToUtf8(names[i]), UndeclaredToUtf8(values[i])});
  }

  std::int64_t received = 0;
  std::string date;
  if (message.ReceivedDate(received)) date = FormatLocalTime("%Y %m/%d %X", received);

  nlohmann::ordered_json relays = nlohmann::ordered_json::array();
  message.ResetReceivedWalk();
  for (std::string address; message.NextReceivedAddress(address);) relays.push_back(address);

  nlohmann::ordered_json urlHosts = nlohmann::ordered_json::array();
  message.DecodeBody();
  for (std::string host; message.NextUrlHost(host);) urlHosts.push_back(host);

  std::string shownText;
  message.DecodeShownText(shownText);
  nlohmann::ordered_json parts = nlohmann::ordered_json::array();
  for (const MimeLeaf& leaf : StoredMessageParts(message.Text())) {
    nlohmann::ordered_json part;
    part["type"] = leaf.type;
    part["charset"] = leaf.charset;
    part["encoding"] = leaf.encoding;
    part["size"] = PartSize(message.Text(), leaf);
    part["fileName"] = PartFileName(leaf);
    part["attachment"] = leaf.attachment;
    part["depth"] = leaf.depth;
    parts.push_back(std::move(part));
  }

  nlohmann::ordered_json record;
  record["file"] = fileName;
  record["headerLength"] = message.HeaderLength();
  record["fields"] = std::move(fields);
  record["subject"] = message.Subject();
  record["from"] = message.From();
  record["senderName"] = message.SenderName();
  record["senderAddress"] = message.SenderAddress();
  record["displaySender"] = message.DisplaySender();
  record["received"] = received;
  record["date"] = date;
  record["relays"] = std::move(relays);
  record["urlHosts"] = std::move(urlHosts);
  record["body"] = message.Body();
  record["text"] = std::move(shownText);
  record["parts"] = std::move(parts);
  if (classification != nullptr) {
    // A message of its own: the walks above are used up.
    CMailMessage judged;
    judged.Parse(storedText);
    // The look-ups whose answers count, in the order of the rules.
    nlohmann::ordered_json lookups = nlohmann::ordered_json::array();
    const auto [verdict, reason] = classification->Classifier().Decide(
        judged, [&](std::string_view key, int zone, int result) {
          lookups.push_back({{"zone", zone}, {"key", Cp932ToUtf8(key)}, {"result", result}});
        });
    record["verdict"] = static_cast<int>(verdict);
    record["reason"] = static_cast<unsigned>(reason);
    record["lookups"] = std::move(lookups);
  }
  return record;
}

int RunInspect(const std::vector<std::string>& files, InputForm form, std::ostream& out,
               std::ostream& err, CClassification* classification) {
  int status = 0;
  std::string content;
  for (const std::string& path : files) {
    std::string error;
    if (!ReadWholeFile(path, content, error)) {
      err << "qm_mailfilter: cannot read " << path << ": " << error << '\n';
      status = 1;
      continue;
    }
    if (form == InputForm::Plain) content = ToStoredForm(content);
    // File names are bytes; one that is not UTF-8 must not stop the output.
    out << InspectMessage(path, content, classification)
               .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
        << '\n';
  }
  out.flush();
  return status;
}

}  // namespace qm
