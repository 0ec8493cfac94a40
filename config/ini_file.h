// Config.ini's format: "[Section]" lines, "Key=Value" lines below them, CR LF line
// ends. Section and key names are found regardless of case; a value is read from
// after the first '=' with the blanks at both ends removed. Rewriting a key keeps
// its line, a new key goes to the end of its section, a new section to the end of
// the file; every other line is kept as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvox {

class TIniFile {
 public:
  /// The file's bytes; CR LF, lone CR and lone LF all end a line.
  explicit TIniFile(std::string_view bytes = {});

  /// The value of the first such key in the first such section; nullopt when
  /// either is missing.
  std::optional<std::string> ReadString(std::string_view section, std::string_view key) const;

  /// Sets the value. CR and LF bytes of the value are dropped: the format cannot
  /// hold them, and a value must never add lines (keys, sections) to the file.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

  /// Every line followed by CR LF.
  std::string Bytes() const;

 private:
  struct TSectionRange {
    std::size_t header;  // index of the "[Section]" line
    std::size_t end;     // one past its last line
  };

  std::optional<TSectionRange> FindSection(std::string_view section) const;
  std::optional<std::size_t> FindKey(const TSectionRange& range, std::string_view key) const;

  std::vector<std::string> lines_;
};

}  // namespace kelvox
