// platform::URL: an absolute or relative URL parsed after RFC 3986, with
// relative resolution against a base, file URLs, path helpers and
// percent-escaping. A URL is an immutable value.
//
// Thread safety: values; free functions are pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class URL {
 public:
  URL() = default;  // invalid
  // Parses `text`; an unparseable text gives an invalid URL (isValid false):
  // characters outside RFC 3986 (blanks, controls, non-ASCII, "<>{}|\\^`\""),
  // malformed %-escapes, a bad scheme or a port beyond 65535.
  explicit URL(std::string_view text);
  // Resolves `relative` against `base` (RFC 3986 section 5.2). A base that
  // is invalid makes `relative` be parsed alone.
  URL(std::string_view relative, const URL& base);
  // "file://" plus the escaped path; a relative path is taken from the
  // current directory; isDirectory adds a trailing "/".
  static URL fileURLWithPath(std::string_view path, bool isDirectory = false);

  bool isValid() const { return valid_; }
  bool isFileURL() const { return scheme_ == "file"; }
  bool isAbsolute() const { return !scheme_.empty(); }

  // The text as parsed (or as resolved), normalised only by resolution.
  const std::string& absoluteString() const { return text_; }
  std::string description() const { return text_; }
  const std::string& scheme() const { return scheme_; }  // lower-cased
  const std::string& host() const { return host_; }      // without [] for IPv6
  std::optional<int> port() const { return port_; }
  const std::string& user() const { return user_; }          // percent-unescaped
  const std::string& password() const { return password_; }  // percent-unescaped
  const std::string& path() const { return path_; }          // percent-escaped, as in the text
  std::string decodedPath() const;                           // percent-unescaped
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }
  // path plus "?query" when present (what goes on an HTTP request line); an
  // empty path after an authority counts as "/".
  std::string pathAndQuery() const;

  // Of the unescaped path, as the string helpers below.
  std::string lastPathComponent() const;
  std::string pathExtension() const;
  // The component is percent-escaped ('/' kept); query and fragment stay.
  URL appendingPathComponent(std::string_view component) const;
  // "/a/b" and "/a/b/" give "/a/"; "/" stays "/". Query and fragment stay.
  URL deletingLastPathComponent() const;

  friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

 private:
  void parse(std::string_view text);
  bool valid_ = false;
  std::string text_, scheme_, user_, password_, host_, path_;
  bool hasAuthority_ = false;
  std::optional<int> port_;
  std::optional<std::string> query_, fragment_;
  friend class URLBuilder;
};

// Removes "." and ".." segments (RFC 3986 section 5.2.4).
std::string removeDotSegments(std::string_view path);

// Percent-escapes every byte of `text` that is not an unreserved character
// (ALPHA DIGIT - . _ ~) and not in `alsoAllowed`.
std::string percentEscape(std::string_view text, std::string_view alsoAllowed = {});
// Decodes %XX escapes; nullopt when an escape is malformed.
std::optional<std::string> percentUnescape(std::string_view text);

// Path helpers on plain strings.
std::string lastPathComponent(std::string_view path);
std::string pathExtension(std::string_view path);
std::string deletingPathExtension(std::string_view path);
std::string appendingPathComponent(std::string_view path, std::string_view component);
std::string standardizePath(std::string_view path);  // "~" expanded, "." and ".." removed

}  // namespace platform
