// Property tables of model classes: each model class registers, once, the
// list of its declared properties (name, backing-field name, type encoding,
// getter and setter) with a link to its superclass's table. Key-value
// assignment, the JSON-to-property mapper and archiving all work from these
// tables instead of run-time introspection.
//
// Type encodings follow the one-letter scalar codes ("B" bool, "c"/"C" 8-bit,
// "s"/"S" 16-bit, "i"/"I" 32-bit, "q"/"Q" 64-bit, "f" float, "d" double) and
// "@" plus a quoted class name for objects ("@\"NSString\"",
// "@\"NSNumber\"", "@\"NSDate\""; "@" alone for any value).
//
// Setters made by the builder accept what the member can hold and leave the
// member unchanged otherwise (a null, an array for a number, ...); they never
// throw.
//
// Thread safety: a table is immutable once built and may be read from any
// thread; getters and setters touch one object, used by one thread at a time.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/value.h"

namespace codecs {

class PropertyObject;

struct PropertyDescriptor {
  std::string name;
  std::string ivarName;      // the backing field's name ("_name"), or empty
  std::string typeEncoding;  // see above
  std::function<platform::Value(const PropertyObject&)> getter;
  std::function<void(PropertyObject&, const platform::Value&)> setter;  // empty: read-only
};

class PropertyTable {
 public:
  PropertyTable(std::string className, const PropertyTable* superclass,
                std::vector<PropertyDescriptor> properties);

  const std::string& className() const { return className_; }
  const PropertyTable* superclass() const { return superclass_; }
  // The properties this class itself declares, in declaration order.
  const std::vector<PropertyDescriptor>& properties() const { return properties_; }
  // The nearest declaration of `name` in this class or a superclass.
  const PropertyDescriptor* find(std::string_view name) const;
  // True when `table` is this table or one of its superclasses.
  bool inheritsFrom(const PropertyTable& table) const;

 private:
  std::string className_;
  const PropertyTable* superclass_;
  std::vector<PropertyDescriptor> properties_;
};

// Base of every object with a property table.
class PropertyObject {
 public:
  virtual ~PropertyObject() = default;
  virtual const PropertyTable& propertyTable() const = 0;

  // Key-value access by property name; unknown names give None / false.
  platform::Value valueForKey(std::string_view name) const;
  bool setValueForKey(std::string_view name, const platform::Value& value);
  // Every property of the class chain by name (subclass declarations win),
  // None values left out.
  platform::Value dictionaryRepresentation() const;
};

namespace property_detail {

template <class M>
std::string encodingFor() {
  if constexpr (std::is_same_v<M, bool>)
    return "B";
  else if constexpr (std::is_same_v<M, float>)
    return "f";
  else if constexpr (std::is_same_v<M, double>)
    return "d";
  else if constexpr (std::is_integral_v<M>) {
    constexpr bool s = std::is_signed_v<M>;
    if constexpr (sizeof(M) == 1)
      return s ? "c" : "C";
    else if constexpr (sizeof(M) == 2)
      return s ? "s" : "S";
    else if constexpr (sizeof(M) == 4)
      return s ? "i" : "I";
    else
      return s ? "q" : "Q";
  } else if constexpr (std::is_same_v<M, std::string>)
    return "@\"NSString\"";
  else if constexpr (std::is_same_v<M, platform::Date>)
    return "@\"NSDate\"";
  else if constexpr (std::is_same_v<M, platform::Value>)
    return "@";
  else
    static_assert(sizeof(M) == 0, "unsupported property type");
}

template <class M>
platform::Value get(const M& m) {
  if constexpr (std::is_same_v<M, platform::Value>)
    return m;
  else if constexpr (std::is_same_v<M, std::string>)
    return platform::Value(m);
  else if constexpr (std::is_same_v<M, platform::Date>)
    return platform::Value(m);
  else if constexpr (std::is_same_v<M, bool>)
    return platform::Value(m);
  else if constexpr (std::is_floating_point_v<M>)
    return platform::Value(static_cast<double>(m));
  else if constexpr (std::is_same_v<M, char>)
    return platform::Value(static_cast<std::int64_t>(m));
  else
    return platform::Value(m);
}

template <class M>
void set(M& m, const platform::Value& v) {
  if constexpr (std::is_same_v<M, platform::Value>) {
    m = v;
  } else if constexpr (std::is_same_v<M, std::string>) {
    if (v.isString()) m = v.asString();
  } else if constexpr (std::is_same_v<M, platform::Date>) {
    if (v.isDate()) m = v.asDate();
  } else if constexpr (std::is_same_v<M, bool>) {
    if (v.isNumber()) m = v.asBool();
  } else if constexpr (std::is_floating_point_v<M>) {
    if (v.isNumber()) m = static_cast<M>(v.asDouble());
  } else {
    if (!v.isNumber()) return;
    if (v.isReal())
      m = static_cast<M>(static_cast<std::int64_t>(v.asDouble()));
    else if (v.isUInt())
      m = static_cast<M>(v.asUInt64());
    else
      m = static_cast<M>(v.asInt64());
  }
}

}  // namespace property_detail

// Builds the table of class T (derived from PropertyObject).
template <class T>
class PropertyTableBuilder {
 public:
  PropertyTableBuilder(std::string className, const PropertyTable* superclass)
      : className_(std::move(className)), superclass_(superclass) {}

  // A property backed by `member`; the backing field is "_" + name unless given.
  template <class M>
  PropertyTableBuilder& property(std::string name, M T::*member, std::string ivar = "\x01") {
    return add(std::move(name), std::move(ivar), property_detail::encodingFor<M>(), member);
  }
  // A Value member declared as a number or a date object.
  PropertyTableBuilder& number(std::string name, platform::Value T::*member) {
    return add(std::move(name), "\x01", "@\"NSNumber\"", member);
  }
  PropertyTableBuilder& dateObject(std::string name, platform::Value T::*member) {
    return add(std::move(name), "\x01", "@\"NSDate\"", member);
  }
  // A property with its own accessors (setter may be empty: read-only).
  PropertyTableBuilder& custom(PropertyDescriptor descriptor) {
    properties_.push_back(std::move(descriptor));
    return *this;
  }
  PropertyTable build() { return PropertyTable(className_, superclass_, std::move(properties_)); }

 private:
  template <class M>
  PropertyTableBuilder& add(std::string name, std::string ivar, std::string encoding,
                            M T::*member) {
    PropertyDescriptor d;
    d.ivarName = ivar == "\x01" ? "_" + name : std::move(ivar);
    d.name = std::move(name);
    d.typeEncoding = std::move(encoding);
    d.getter = [member](const PropertyObject& o) {
      return property_detail::get(static_cast<const T&>(o).*member);
    };
    d.setter = [member](PropertyObject& o, const platform::Value& v) {
      property_detail::set(static_cast<T&>(o).*member, v);
    };
    properties_.push_back(std::move(d));
    return *this;
  }

  std::string className_;
  const PropertyTable* superclass_;
  std::vector<PropertyDescriptor> properties_;
};

}  // namespace codecs
