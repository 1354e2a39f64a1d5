// The recordings of calls: GET /api/recordings lists the rows of tq_VantrelRecording (with the caller from the call
// log), GET /api/recordings/<id>/audio serves a recording's WAV with HTTP range requests. Supervisors hear all;
// an operator only the recordings of their own calls, and only with "[Web] OperatorsHearOwnRecordings=1" in
// Settings.ini. A file is served only from inside the recordings' folder ("[Recording] Folder=", default
// "Recordings" in the INI folder), whatever the row names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "WebApi.h"

namespace vantrel::web {

class TReportsApi;

class TRecordingsApi {
 public:
  // `iniFolder`: the gateway's INI folder, where Settings.ini is read at each request.
  TRecordingsApi(TReportsApi& crm, std::filesystem::path iniFolder);

  // path: "api", "recordings"[, id, "audio"].
  TWebResponse Handle(const TWebRequest& request, const TWebUser& user, const std::vector<std::string>& path);

  // The bytes [first, last] a Range header asks of a file of `size` bytes; none for no header (or one this
  // server does not serve: several ranges, another unit). Throws TWebError(416) for a range it cannot satisfy.
  struct TByteRange {
    std::uint64_t first = 0, last = 0;
  };
  static std::optional<TByteRange> ParseRange(const std::string& header, std::uint64_t size);

 private:
  TWebResponse List(const TWebRequest& request, const TWebUser& user);
  TWebResponse Audio(const TWebRequest& request, const TWebUser& user, const std::string& id);
  bool OperatorsHearOwn() const;
  std::filesystem::path Folder() const;

  TReportsApi& crm_;
  const std::filesystem::path iniFolder_;
};

}  // namespace vantrel::web
