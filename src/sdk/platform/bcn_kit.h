// The kit contract of the SDK and the small registry that stands in for the
// runtime's "does a class of this name exist / adopt the kit protocol /
// answer this selector" questions.
//
// A kit class is described by a BCNKitClass record and registered under its
// class name (Beacon::registerKitClass) before the host calls Beacon::with:
// a kit adopting the contract fills `conformsToBCNKit`, `bundleIdentifier`
// and `kitDisplayVersion` (and optionally `kitBuildVersion` and
// `initializeIfNeeded`); a legacy kit leaves `conformsToBCNKit` false and
// gives `sharedInstance`, whose instance answers start, bundleIdentifier
// and version. A function member left empty is a method the class does not
// answer.
//
// Beacon::with takes BCNKitElements: a class by name ("Crashtrail"), or an
// object that stands in for its class (a kit's shared instance, any
// BCNObject). A name that no kit registered is a class that is no kit.
//
// Thread safety: records are immutable once registered.
#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace sdk {

// An object whose class can be asked by name; kit instances derive from it
// so that they can be passed to Beacon::with in place of their class.
class BCNObject {
 public:
  virtual ~BCNObject() = default;
  virtual std::string className() const = 0;
};

// The instance of a legacy kit: what its methods answer.
struct BCNLegacyKitInstance {
  std::function<void()> start;
  std::function<std::string()> bundleIdentifier;
  std::function<std::string()> version;
};

struct BCNKitClass {
  // The class's name ("Crashtrail", "Tally").
  std::string name;

  // The kit contract (class methods).
  bool conformsToBCNKit = false;
  std::function<std::string()> bundleIdentifier;   // required
  std::function<std::string()> kitDisplayVersion;  // required
  std::function<std::string()> kitBuildVersion;    // optional
  std::function<void()> initializeIfNeeded;        // optional: starts the kit

  // The legacy form: +sharedInstance (nullptr when the class lacks it).
  std::function<std::shared_ptr<BCNLegacyKitInstance>()> sharedInstance;
};

// One element of Beacon::with's list: a class by name or an instance.
class BCNKitElement {
 public:
  BCNKitElement(std::string className) : className_(std::move(className)) {}
  BCNKitElement(const char* className) : className_(className ? className : "") {}
  BCNKitElement(std::shared_ptr<const BCNObject> instance)
      : className_(instance ? instance->className() : std::string()),
        instance_(std::move(instance)) {}
  template <class T>
  requires std::derived_from<T, BCNObject> BCNKitElement(std::shared_ptr<T> instance)
      : BCNKitElement(std::shared_ptr<const BCNObject>(std::move(instance))) {}

  bool isInstance() const { return instance_ != nullptr; }
  // The element's class: itself for a class, the instance's class otherwise.
  const std::string& className() const { return className_; }
  const std::shared_ptr<const BCNObject>& instance() const { return instance_; }

 private:
  std::string className_;
  std::shared_ptr<const BCNObject> instance_;
};

}  // namespace sdk
