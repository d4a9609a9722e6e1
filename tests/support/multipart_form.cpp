#include "support/multipart_form.h"

#include <zlib.h>

#include <cctype>

namespace varnel::testing {

std::optional<std::string> gunzip(std::string_view bytes, std::size_t maxLength) {
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  std::string out;
  char buffer[16384];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    status = inflate(&stream, Z_NO_FLUSH);
    const std::size_t got = sizeof(buffer) - stream.avail_out;
    if (got > maxLength - out.size()) {
      inflateEnd(&stream);
      return std::nullopt;
    }
    out.append(buffer, got);
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return out;
}

std::optional<std::string> quotedParameter(const std::string& header, const std::string& key) {
  const std::string open = key + "=\"";
  auto start = header.find(open);
  if (start == std::string::npos) return std::nullopt;
  start += open.size();
  auto end = header.find('"', start);
  if (end == std::string::npos) return std::nullopt;
  return header.substr(start, end - start);
}

std::optional<std::vector<FormPart>> multipartParts(const std::string& body,
                                                    const std::string& boundary) {
  std::vector<FormPart> parts;
  const std::string delimiter = "--" + boundary;
  auto pos = body.find(delimiter);
  if (pos == std::string::npos) return std::nullopt;
  for (;;) {
    pos += delimiter.size();
    if (body.compare(pos, 2, "--") == 0) return parts;  // closing delimiter
    if (body.compare(pos, 2, "\r\n") != 0) return std::nullopt;
    pos += 2;
    auto headersEnd = body.find("\r\n\r\n", pos);
    auto next = body.find("\r\n" + delimiter, pos);
    if (headersEnd == std::string::npos || next == std::string::npos || headersEnd > next) {
      return std::nullopt;
    }
    FormPart part;
    std::string headers = body.substr(pos, headersEnd - pos);
    std::size_t line = 0;
    while (line < headers.size()) {
      auto end = headers.find("\r\n", line);
      if (end == std::string::npos) end = headers.size();
      std::string text = headers.substr(line, end - line);
      auto colon = text.find(':');
      if (colon != std::string::npos) {
        std::string name = text.substr(0, colon);
        for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        auto value = text.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        part.headers[name] = value;
      }
      line = end + 2;
    }
    part.body = body.substr(headersEnd + 4, next - headersEnd - 4);
    part.name = quotedParameter(part.headers["content-disposition"], "name").value_or("");
    part.fileName = quotedParameter(part.headers["content-disposition"], "filename").value_or("");
    parts.push_back(std::move(part));
    pos = next + 2;
  }
}

}  // namespace varnel::testing
