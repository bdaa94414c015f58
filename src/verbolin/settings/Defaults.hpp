#pragma once
// The user's settings, as a small typed key-value store in the manner of
// platform user defaults: reading a key as the wrong type reads as absent,
// and writes never report failure to the caller.
//
// Implementations are safe to use from any thread.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/system/Observable.hpp"

namespace verbolin {

class Defaults {
  public:
    // The keys the application uses.
    static constexpr const char* kAlwaysListen = "alwaysListen";
    static constexpr const char* kAlwaysOnTop = "alwaysOnTop";
    static constexpr const char* kInputDevice = "inputDevice";
    static constexpr const char* kModelPack = "modelPack";
    static constexpr const char* kFontSize = "fontSize";

    virtual ~Defaults() = default;

    // The stored value, or none when the key is absent.
    virtual std::optional<nlohmann::json> value(std::string_view key) const = 0;
    virtual void setValue(std::string_view key, nlohmann::json value) = 0;
    virtual void remove(std::string_view key) = 0;

    // Why the stored settings could not be read, when they could not and
    // were reset for this run; none otherwise.
    virtual std::optional<std::string> problem() const { return std::nullopt; }

    // Absent or not a bool: none.
    std::optional<bool> boolean(std::string_view key) const;
    // Absent or not a string: none.
    std::optional<std::string> string(std::string_view key) const;
    // Absent or not a number: none.
    std::optional<double> number(std::string_view key) const;

    void setBool(std::string_view key, bool v) { setValue(key, v); }
    void setString(std::string_view key, std::string v) { setValue(key, std::move(v)); }
    void setNumber(std::string_view key, double v) { setValue(key, v); }
    // Stores the text, or removes the key for none.
    void setOptionalString(std::string_view key, const std::optional<std::string>& v);

    // The process's settings file, "Verbolin/settings.json" under the user's
    // configuration folder, opened on first use.
    static Defaults& standard();

    // Calls `onChange` with the key after every write or removal, whoever
    // made it, on the writer's thread, once the new value reads back. Every
    // control showing a setting follows it this way. The handler must not
    // block; the token's end waits for a call in progress, so the handler may
    // use what the token's owner owns.
    using ChangeHandler = std::function<void(std::string_view key)>;
    [[nodiscard]] platform::ObservationToken observeChanges(ChangeHandler onChange);

  protected:
    Defaults();
    // Implementations call this after each change, holding no lock of theirs.
    void changed(std::string_view key);

  private:
    struct Observers;
    std::shared_ptr<Observers> observers_;
};

}  // namespace verbolin
