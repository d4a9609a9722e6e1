// XPCParse: conversion of objects to channel values and back.
//
// The object side is ipc::Object: nothing (nil), a property-list
// platform::Value (dictionary with string keys, array, data, date, string,
// number, null), a FileHandle, an XPCUUID, a URL, an Error, or any other
// object derived from ipc::Codable.
//
// Object to channel (`newXPCObject`): dictionaries and arrays convert element
// by element (an element without a conversion is skipped, as is a dictionary
// entry whose key is not a string); data, strings and dates map to their
// channel types (dates as nanoseconds since 1970, truncated toward zero and
// clamped to the signed 64-bit range); booleans to booleans, numbers of type
// 'Q' to uint64, 'q' to int64 and every other number to double; a file handle
// to a duplicate of its descriptor; an XPCUUID to a UUID. A URL, an Error, a
// null marker and a Codable that supports archiving travel as data marked as
// an archive. A Codable without archiving support raises
// "XPCNotNSCodingConformantException".
//
// Channel to object (`objectWithXPCObject`): the reverse. Only data that was
// marked as an archive on the way in is unarchived, and only into the closed
// list of known classes (URL, Error, the null marker); raw bytes always come
// back as data, and an archive of any other class comes back as its bytes.
// Values without an object form (null, errors, shared memory) give nil and
// are left out of dictionaries and arrays, as are file handles, UUIDs, URLs
// and errors nested in a collection (a Value collection cannot hold them).
//
// Conversion budget: each outermost call of a channel-to-object conversion
// (every getter of a message, a whole request) draws on ONE budget that also
// covers the archives it unpacks, however deeply they nest: at most
// kConversionMaxDepth levels (each dictionary, array and archive is a level,
// counted from the outermost value through every archive inside) and at most
// kConversionMaxBytes bytes (every string, data value and archive that the
// conversion copies or decodes). A conversion that would exceed it stops at
// once and gives nil/None as a whole: a value that does not fit is a
// malformed message, never a partial one. `fitsConversionBudget` runs the
// whole conversion of a received message to tell it in advance.
//
// Thread safety: stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "ipc/xpc_uuid.h"
#include "platform/foundation/error.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"
#include "platform/xpc/channel_value.h"

namespace ipc {

inline constexpr const char* kXPCNotNSCodingConformantException =
    "XPCNotNSCodingConformantException";

inline constexpr std::size_t kConversionMaxDepth = 64;
inline constexpr std::size_t kConversionMaxBytes = 8u << 20;  // 8 MiB

// An open file descriptor owned by the handle and closed when it goes.
class FileHandle {
 public:
  // Takes ownership of `fd`.
  explicit FileHandle(int fd) : fd_(fd) {}
  // A handle over a duplicate of `fd` (close-on-exec); nullptr when dup fails.
  static std::shared_ptr<FileHandle> duplicating(int fd);
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int fileDescriptor() const { return fd_; }
  std::string description() const;

 private:
  int fd_;
};

// Any other object. `archive` returns the object's archive form, a
// property-list Value, or None when the class does not support archiving.
class Codable {
 public:
  virtual ~Codable() = default;
  virtual std::string className() const = 0;
  virtual std::string description() const = 0;
  virtual platform::Value archive() const { return {}; }
};

class Object {
 public:
  enum class Kind { Nil, Value, FileHandle, UUID, URL, Error, Codable };

  Object() = default;
  Object(platform::Value v);  // a None value gives nil
  Object(const char* s) : Object(platform::Value(s)) {}
  Object(std::string s) : Object(platform::Value(std::move(s))) {}
  Object(std::shared_ptr<FileHandle> h);
  Object(std::shared_ptr<XPCUUID> u);
  Object(platform::URL url);
  Object(platform::Error error);
  Object(std::shared_ptr<const Codable> object);

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool isNil() const { return kind() == Kind::Nil; }
  explicit operator bool() const { return !isNil(); }

  // The Value (None unless kind() is Value).
  platform::Value value() const;
  std::shared_ptr<FileHandle> fileHandle() const;
  std::shared_ptr<XPCUUID> uuid() const;
  const platform::URL* url() const;
  const platform::Error* error() const;
  std::shared_ptr<const Codable> codable() const;

  // The object's description ("(null)" for nil).
  std::string description() const;

 private:
  std::variant<std::monostate, platform::Value, std::shared_ptr<FileHandle>,
               std::shared_ptr<XPCUUID>, platform::URL, platform::Error,
               std::shared_ptr<const Codable>>
      v_;
};

struct XPCParse {
  using ChannelValue = platform::xpc::ChannelValue;

  // A new channel value (None for nil). Throws platform::Exception
  // "XPCNotNSCodingConformantException" for a Codable without archiving.
  static ChannelValue newXPCObject(const Object& object);
  static ChannelValue newXPCObject(const platform::Value& value);

  // Dispatches on the channel type.
  static Object objectWithXPCObject(const ChannelValue& object);
  // Each of these gives None when `object` is not of its type.
  static platform::Value dictionaryWithContentsOfXPCObject(const ChannelValue& object);
  static platform::Value arrayWithContentsOfXPCObject(const ChannelValue& object);
  static platform::Value dateWithXPCObject(const ChannelValue& object);
  static platform::Value dataWithXPCObject(const ChannelValue& object);
  static platform::Value stringWithXPCObject(const ChannelValue& object);
  static platform::Value numberWithXPCObject(const ChannelValue& object);
  static std::shared_ptr<FileHandle> fileHandleWithXPCObject(const ChannelValue& object);
  // Data: an archive (marked as such) is unarchived; else the bytes as data.
  static Object objectWithXPCData(const ChannelValue& object);

  // Converts all of `object` under a fresh budget: true when it fits; false
  // with the reason ("nesting too deep", "too many bytes") when it does not.
  // `maxBytes` replaces kConversionMaxBytes (tests).
  static bool fitsConversionBudget(const ChannelValue& object, std::string* reason = nullptr,
                                   std::size_t maxBytes = kConversionMaxBytes);

 private:
  // objectWithXPCObject without a scope of its own.
  static Object objectOf(const ChannelValue& object);
};

}  // namespace ipc
