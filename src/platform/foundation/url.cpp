#include "platform/foundation/url.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace platform {

namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int hexValue(char c) {
  if (isDigit(c)) return c - '0';
  return (c | 0x20) - 'a' + 10;
}
bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelim(char c) {
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
      return true;
    default:
      return false;
  }
}
// pchar without the percent escapes (checked separately).
bool isPChar(char c) { return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@'; }

// The five components of a reference (RFC 3986 appendix B), each either
// absent or present (possibly empty).
struct Parts {
  std::optional<std::string> scheme, authority;
  std::string path;
  std::optional<std::string> query, fragment;
};

Parts split(std::string_view text) {
  Parts p;
  std::size_t i = 0;
  const std::size_t colon = text.find_first_of(":/?#");
  if (colon != std::string_view::npos && colon > 0 && text[colon] == ':') {
    p.scheme = std::string(text.substr(0, colon));
    i = colon + 1;
  }
  if (text.substr(i, 2) == "//") {
    const std::size_t end = text.find_first_of("/?#", i + 2);
    const std::size_t stop = end == std::string_view::npos ? text.size() : end;
    p.authority = std::string(text.substr(i + 2, stop - i - 2));
    i = stop;
  }
  std::size_t end = text.find_first_of("?#", i);
  if (end == std::string_view::npos) end = text.size();
  p.path = std::string(text.substr(i, end - i));
  i = end;
  if (i < text.size() && text[i] == '?') {
    end = text.find('#', i);
    if (end == std::string_view::npos) end = text.size();
    p.query = std::string(text.substr(i + 1, end - i - 1));
    i = end;
  }
  if (i < text.size() && text[i] == '#') p.fragment = std::string(text.substr(i + 1));
  return p;
}

std::string recompose(const Parts& p) {
  std::string out;
  if (p.scheme) out += *p.scheme + ":";
  if (p.authority) out += "//" + *p.authority;
  out += p.path;
  if (p.query) out += "?" + *p.query;
  if (p.fragment) out += "#" + *p.fragment;
  return out;
}

// Checks that `text` holds only the given characters and well-formed escapes.
template <class Allowed>
bool validComponent(std::string_view text, Allowed allowed) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return false;
      i += 2;
    } else if (!allowed(c)) {
      return false;
    }
  }
  return true;
}

bool validScheme(const std::string& s) {
  if (s.empty() || !isAlpha(s[0])) return false;
  for (char c : s) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string decodeOrKeep(const std::string& s) { return percentUnescape(s).value_or(s); }

std::string homeDirectory(std::string_view user) {
  if (user.empty()) {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
  }
  struct passwd pw {};
  struct passwd* result = nullptr;
  std::vector<char> buffer(16384);
  if (user.empty()) {
    getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result);
  } else {
    const std::string name(user);
    getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &result);
  }
  return result && result->pw_dir ? std::string(result->pw_dir) : std::string();
}

// Joins `path`'s segments again with single slashes, dropping "." and
// resolving ".." where the path is absolute (".." above the root stays at
// the root); a relative path keeps its "..".
std::string normalizeSegments(std::string_view path) {
  const bool absolute = !path.empty() && path[0] == '/';
  std::vector<std::string_view> segments;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view seg = path.substr(i, end - i);
    i = end + 1;
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      if (!segments.empty() && segments.back() != "..") {
        segments.pop_back();
        continue;
      }
      if (absolute) continue;
    }
    segments.push_back(seg);
  }
  std::string out = absolute ? "/" : "";
  for (std::size_t k = 0; k < segments.size(); ++k) {
    if (k) out += '/';
    out += segments[k];
  }
  return out;
}

std::string stripTrailingSlashes(std::string_view path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  return std::string(path.substr(0, end));
}

}  // namespace

// Builds URL texts from parts; the only code that writes URL members besides parse.
class URLBuilder {
 public:
  static URL withPath(const URL& base, std::string path) {
    Parts p = split(base.text_);
    p.path = std::move(path);
    if (p.authority && !p.path.empty() && p.path[0] != '/') p.path.insert(0, "/");
    URL url;
    url.parse(recompose(p));
    return url;
  }
};

// --- URL ------------------------------------------------------------------------

URL::URL(std::string_view text) { parse(text); }

URL::URL(std::string_view relative, const URL& base) {
  if (!base.valid_) {
    parse(relative);
    return;
  }
  URL check(relative);
  if (!check.valid_) return;

  // RFC 3986 section 5.2.2, strict: a reference with a scheme is absolute.
  const Parts r = split(relative);
  const Parts b = split(base.text_);
  Parts t;
  if (r.scheme) {
    t.scheme = r.scheme;
    t.authority = r.authority;
    t.path = removeDotSegments(r.path);
    t.query = r.query;
  } else {
    if (r.authority) {
      t.authority = r.authority;
      t.path = removeDotSegments(r.path);
      t.query = r.query;
    } else {
      if (r.path.empty()) {
        t.path = b.path;
        t.query = r.query ? r.query : b.query;
      } else {
        if (r.path[0] == '/') {
          t.path = removeDotSegments(r.path);
        } else {
          // Merge (section 5.2.3).
          std::string merged;
          if (b.authority && b.path.empty()) {
            merged = "/" + r.path;
          } else {
            const std::size_t slash = b.path.rfind('/');
            merged = slash == std::string::npos ? r.path : b.path.substr(0, slash + 1) + r.path;
          }
          t.path = removeDotSegments(merged);
        }
        t.query = r.query;
      }
      t.authority = b.authority;
    }
    t.scheme = b.scheme;
  }
  t.fragment = r.fragment;
  parse(recompose(t));
}

void URL::parse(std::string_view text) {
  *this = URL();
  text_ = std::string(text);
  Parts p = split(text);

  if (p.scheme) {
    if (!validScheme(*p.scheme)) return;
    scheme_ = lower(*p.scheme);
  } else {
    // A relative reference may not have a colon in its first segment.
    const std::size_t colon = p.path.find(':');
    if (colon != std::string::npos && p.path.find('/') > colon) return;
  }
  if (p.authority) {
    hasAuthority_ = true;
    std::string_view auth = *p.authority;
    const std::size_t at = auth.rfind('@');
    if (at != std::string_view::npos) {
      const std::string_view info = auth.substr(0, at);
      if (!validComponent(info,
                          [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; }))
        return;
      const std::size_t colon = info.find(':');
      user_ = decodeOrKeep(std::string(info.substr(0, colon)));
      if (colon != std::string_view::npos)
        password_ = decodeOrKeep(std::string(info.substr(colon + 1)));
      auth = auth.substr(at + 1);
    }
    std::string_view portText;
    if (!auth.empty() && auth[0] == '[') {
      const std::size_t close = auth.find(']');
      if (close == std::string_view::npos) return;
      const std::string_view literal = auth.substr(1, close - 1);
      if (literal.empty()) return;
      for (char c : literal) {
        if (!isHex(c) && c != ':' && c != '.' && c != 'v' && c != 'V' && !isUnreserved(c) &&
            !isSubDelim(c))
          return;
      }
      host_ = std::string(literal);
      const std::string_view rest = auth.substr(close + 1);
      if (!rest.empty()) {
        if (rest[0] != ':') return;
        portText = rest.substr(1);
      }
    } else {
      const std::size_t colon = auth.rfind(':');
      const std::string_view host = auth.substr(0, colon);
      if (!validComponent(host, [](char c) { return isUnreserved(c) || isSubDelim(c); })) return;
      host_ = std::string(host);
      if (colon != std::string_view::npos) portText = auth.substr(colon + 1);
    }
    if (!portText.empty()) {
      long port = 0;
      for (char c : portText) {
        if (!isDigit(c)) return;
        port = port * 10 + (c - '0');
        if (port > 65535) return;
      }
      port_ = static_cast<int>(port);
    }
  }
  if (!validComponent(p.path, [](char c) { return isPChar(c) || c == '/'; })) return;
  path_ = p.path;
  auto queryChar = [](char c) { return isPChar(c) || c == '/' || c == '?'; };
  if (p.query) {
    if (!validComponent(*p.query, queryChar)) return;
    query_ = p.query;
  }
  if (p.fragment) {
    // Lenient on a second "#": it is kept in the fragment.
    if (!validComponent(*p.fragment, [&](char c) { return queryChar(c) || c == '#'; })) return;
    fragment_ = p.fragment;
  }
  valid_ = true;
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
  std::string absolute(path);
  if (absolute.empty() || absolute[0] != '/') {
    std::vector<char> cwd(4096);
    std::string base = getcwd(cwd.data(), cwd.size()) ? std::string(cwd.data()) : std::string("/");
    absolute = absolute.empty() ? base : platform::appendingPathComponent(base, absolute);
  }
  if (isDirectory && absolute.back() != '/') absolute += '/';
  return URL("file://" + percentEscape(absolute, "/!$&'()*+,;=:@"));
}

std::string URL::decodedPath() const { return decodeOrKeep(path_); }

std::string URL::pathAndQuery() const {
  std::string out = path_.empty() && hasAuthority_ ? "/" : path_;
  if (query_) out += "?" + *query_;
  return out;
}

std::string URL::lastPathComponent() const { return platform::lastPathComponent(decodedPath()); }

std::string URL::pathExtension() const { return platform::pathExtension(decodedPath()); }

URL URL::appendingPathComponent(std::string_view component) const {
  if (!valid_) return URL();
  std::string path = path_;
  if (path.empty() || path.back() != '/') path += '/';
  std::string escaped = percentEscape(component, "!$&'()*+,;=:@/");
  while (!escaped.empty() && escaped[0] == '/') escaped.erase(0, 1);
  path += escaped;
  if (path == "/" && path_.empty() && !hasAuthority_) path.clear();
  return URLBuilder::withPath(*this, path);
}

URL URL::deletingLastPathComponent() const {
  if (!valid_) return URL();
  std::string path = path_;
  if (path.empty() || path == "/") return URLBuilder::withPath(*this, path);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  path = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
  return URLBuilder::withPath(*this, path);
}

// --- free functions ---------------------------------------------------------------

std::string removeDotSegments(std::string_view path) {
  std::string in(path);
  std::string out;
  while (!in.empty()) {
    if (in.rfind("../", 0) == 0) {
      in.erase(0, 3);
    } else if (in.rfind("./", 0) == 0) {
      in.erase(0, 2);
    } else if (in.rfind("/./", 0) == 0) {
      in.erase(0, 2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.rfind("/../", 0) == 0 || in == "/..") {
      in = in == "/.." ? "/" : in.substr(3);
      const std::size_t slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      const std::size_t next = in.find('/', in[0] == '/' ? 1 : 0);
      const std::size_t take = next == std::string::npos ? in.size() : next;
      out.append(in, 0, take);
      in.erase(0, take);
    }
  }
  return out;
}

std::string percentEscape(std::string_view text, std::string_view alsoAllowed) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (isUnreserved(c) || (c != '%' && alsoAllowed.find(c) != std::string_view::npos)) {
      out += c;
    } else {
      const auto b = static_cast<unsigned char>(c);
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    }
  }
  return out;
}

std::optional<std::string> percentUnescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
    out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
    i += 2;
  }
  return out;
}

std::string lastPathComponent(std::string_view path) {
  if (path.empty()) return "";
  const std::string stripped = stripTrailingSlashes(path);
  if (stripped == "/") return "/";
  const std::size_t slash = stripped.rfind('/');
  return slash == std::string::npos ? stripped : stripped.substr(slash + 1);
}

std::string pathExtension(std::string_view path) {
  const std::string name = lastPathComponent(path);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name == "/") return "";
  return name.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view path) {
  std::string stripped = stripTrailingSlashes(path);
  const std::size_t slash = stripped.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::size_t dot = stripped.rfind('.');
  if (dot != std::string::npos && dot > nameStart) stripped.erase(dot);
  return stripped;
}

std::string appendingPathComponent(std::string_view path, std::string_view component) {
  std::string joined(path);
  if (!joined.empty() && !component.empty()) joined += '/';
  joined += component;
  // Collapse repeated slashes and drop a trailing one.
  std::string out;
  out.reserve(joined.size());
  for (char c : joined) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out += c;
  }
  return stripTrailingSlashes(out);
}

std::string standardizePath(std::string_view path) {
  std::string expanded(path);
  if (!expanded.empty() && expanded[0] == '~') {
    const std::size_t slash = expanded.find('/');
    const std::string_view user = std::string_view(expanded).substr(
        1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string home = homeDirectory(user);
    if (!home.empty()) {
      expanded = home + (slash == std::string::npos ? std::string() : expanded.substr(slash));
    }
  }
  if (expanded.empty()) return expanded;
  const std::string out = normalizeSegments(expanded);
  return out.empty() ? "." : out;
}

}  // namespace platform
