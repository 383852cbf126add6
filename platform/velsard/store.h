// The stand-in's in-memory configuration: one GVariant per key, kept exactly
// as a Set method or the test-control interface stored it.
#pragma once

#include <glib.h>

#include <map>
#include <string>

namespace velsard {

class Store {
  public:
    Store();
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // The D-Bus type that a key's value must have, or nullptr for an unknown key.
    static const GVariantType *type_of(const std::string &key);

    // Stores value under key: a floating value is taken over, otherwise a
    // reference is added. Fails with a message
    // in *error for an unknown key or a value of another type.
    bool put(const std::string &key, GVariant *value, std::string *error);
    // The stored value (borrowed; valid until the key is stored again).
    GVariant *get(const std::string &key) const;

    // Reads a GVariant text of type a{sv} and stores every entry; nothing is
    // stored when any entry is refused.
    bool load_file(const std::string &path, std::string *error);

  private:
    std::map<std::string, GVariant *> values_;
};

}  // namespace velsard
