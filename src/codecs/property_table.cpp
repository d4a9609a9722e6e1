#include "codecs/property_table.h"

#include <set>

namespace codecs {

using platform::Value;

PropertyTable::PropertyTable(std::string className, const PropertyTable* superclass,
                             std::vector<PropertyDescriptor> properties)
    : className_(std::move(className)),
      superclass_(superclass),
      properties_(std::move(properties)) {}

const PropertyDescriptor* PropertyTable::find(std::string_view name) const {
  for (const PropertyTable* t = this; t != nullptr; t = t->superclass_) {
    for (const PropertyDescriptor& p : t->properties_) {
      if (p.name == name) return &p;
    }
  }
  return nullptr;
}

bool PropertyTable::inheritsFrom(const PropertyTable& table) const {
  for (const PropertyTable* t = this; t != nullptr; t = t->superclass_) {
    if (t == &table) return true;
  }
  return false;
}

Value PropertyObject::valueForKey(std::string_view name) const {
  const PropertyDescriptor* p = propertyTable().find(name);
  return p && p->getter ? p->getter(*this) : Value();
}

bool PropertyObject::setValueForKey(std::string_view name, const Value& value) {
  const PropertyDescriptor* p = propertyTable().find(name);
  if (p == nullptr || !p->setter) return false;
  p->setter(*this, value);
  return true;
}

Value PropertyObject::dictionaryRepresentation() const {
  Value out = Value::mutableDictionary();
  std::set<std::string, std::less<>> seen;
  for (const PropertyTable* t = &propertyTable(); t != nullptr; t = t->superclass()) {
    for (const PropertyDescriptor& p : t->properties()) {
      if (!seen.insert(p.name).second || !p.getter) continue;
      Value v = p.getter(*this);
      if (!v.isNone()) out.set(p.name, v);
    }
  }
  return out.copy();
}

}  // namespace codecs
