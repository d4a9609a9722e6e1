// Property helpers shared by the client's model classes (accounts, cities,
// account information, server lists). They declare object properties held
// in platform::Value members, so that an unset property stays "nil" (None)
// and key-value setting follows the declared kind:
//  - a string property takes a string, takes a number as its decimal text,
//    and becomes nil for JSON null; other values leave it unchanged;
//  - a number property takes a number, takes a string that is entirely a
//    decimal number as that number, and becomes nil for JSON null;
//  - an "any value" property takes every value as it is.
//
// Thread safety: stateless helpers.
#pragma once

#include <string>

#include "codecs/json_property_mapper.h"
#include "codecs/property_table.h"
#include "platform/foundation/value.h"

namespace client::model_detail {

inline platform::Value stringValue(const platform::Value& v, const platform::Value& old) {
  if (v.isString()) return v;
  if (v.isNull()) return platform::Value();
  if (v.isNumber() && !v.isBool()) return platform::Value(v.description());
  return old;
}

inline platform::Value numberValue(const platform::Value& v, const platform::Value& old) {
  if (v.isNumber()) return v;
  if (v.isNull()) return platform::Value();
  if (v.isString()) {
    platform::Value n = codecs::parseDecimalNumber(v.asString());
    return n.isNone() ? old : n;
  }
  return old;
}

template <class T>
codecs::PropertyDescriptor stringProperty(std::string name, platform::Value T::*member) {
  codecs::PropertyDescriptor d;
  d.ivarName = "_" + name;
  d.name = std::move(name);
  d.typeEncoding = "@\"NSString\"";
  d.getter = [member](const codecs::PropertyObject& o) { return static_cast<const T&>(o).*member; };
  d.setter = [member](codecs::PropertyObject& o, const platform::Value& v) {
    auto& field = static_cast<T&>(o).*member;
    field = stringValue(v, field);
  };
  return d;
}

template <class T>
codecs::PropertyDescriptor numberProperty(std::string name, platform::Value T::*member) {
  codecs::PropertyDescriptor d;
  d.ivarName = "_" + name;
  d.name = std::move(name);
  d.typeEncoding = "@\"NSNumber\"";
  d.getter = [member](const codecs::PropertyObject& o) { return static_cast<const T&>(o).*member; };
  d.setter = [member](codecs::PropertyObject& o, const platform::Value& v) {
    auto& field = static_cast<T&>(o).*member;
    field = numberValue(v, field);
  };
  return d;
}

// A plain boolean member: takes a number's truth value; anything else
// leaves it unchanged.
template <class T>
codecs::PropertyDescriptor boolProperty(std::string name, bool T::*member) {
  codecs::PropertyDescriptor d;
  d.ivarName = "_" + name;
  d.name = std::move(name);
  d.typeEncoding = "B";
  d.getter = [member](const codecs::PropertyObject& o) {
    return platform::Value(static_cast<const T&>(o).*member);
  };
  d.setter = [member](codecs::PropertyObject& o, const platform::Value& v) {
    if (v.isNumber()) static_cast<T&>(o).*member = v.asBool();
  };
  return d;
}

template <class T>
codecs::PropertyDescriptor anyProperty(std::string name, platform::Value T::*member) {
  codecs::PropertyDescriptor d;
  d.ivarName = "_" + name;
  d.name = std::move(name);
  d.typeEncoding = "@";
  d.getter = [member](const codecs::PropertyObject& o) { return static_cast<const T&>(o).*member; };
  d.setter = [member](codecs::PropertyObject& o, const platform::Value& v) {
    static_cast<T&>(o).*member = v;
  };
  return d;
}

// Stores `value` under `key` in the mutable dictionary `out` unless it is nil.
inline void setIfPresent(platform::Value& out, const char* key, const platform::Value& value) {
  if (!value.isNone()) out.set(key, value);
}

}  // namespace client::model_detail
