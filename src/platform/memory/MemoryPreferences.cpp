#include "platform/memory/MemoryPreferences.hpp"

#include <mutex>

namespace velquor::detail {

struct MemoryPreferences::Shared {
    mutable std::mutex mutex;
    std::map<std::string, std::map<std::string, Value>> suites;
    bool cannotOpen = false;
    bool losesWrites = false;
    bool synchronizeFails = false;
    int opens = 0;
};

namespace {

class MemorySettingsSuite final : public SettingsSuite {
public:
    MemorySettingsSuite(std::shared_ptr<MemoryPreferences::Shared> shared, std::string name)
        : shared_(std::move(shared))
        , name_(std::move(name)) {}

    std::optional<bool> boolValue(const std::string& key) override {
        std::lock_guard lock(shared_->mutex);
        auto* value = find(key);
        if (value == nullptr || !std::holds_alternative<bool>(*value))
            return std::nullopt;
        return std::get<bool>(*value);
    }

    std::optional<std::string> stringValue(const std::string& key) override {
        std::lock_guard lock(shared_->mutex);
        auto* value = find(key);
        if (value == nullptr || !std::holds_alternative<std::string>(*value))
            return std::nullopt;
        return std::get<std::string>(*value);
    }

    void setBool(const std::string& key, bool value) override { store(key, value); }
    void setString(const std::string& key, const std::string& value) override { store(key, value); }

    void remove(const std::string& key) override {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->losesWrites)
            shared_->suites[name_].erase(key);
    }

    bool synchronize() override {
        std::lock_guard lock(shared_->mutex);
        return !shared_->synchronizeFails;
    }

private:
    const MemoryPreferences::Value* find(const std::string& key) const {
        auto suite = shared_->suites.find(name_);
        if (suite == shared_->suites.end())
            return nullptr;
        auto found = suite->second.find(key);
        return found == suite->second.end() ? nullptr : &found->second;
    }

    void store(const std::string& key, MemoryPreferences::Value value) {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->losesWrites)
            shared_->suites[name_][key] = std::move(value);
    }

    std::shared_ptr<MemoryPreferences::Shared> shared_;
    std::string name_;
};

} // namespace

MemoryPreferences::MemoryPreferences()
    : shared_(std::make_shared<Shared>()) {}

std::shared_ptr<SettingsSuite> MemoryPreferences::open(const std::string& suiteName) {
    std::lock_guard lock(shared_->mutex);
    ++shared_->opens;
    if (shared_->cannotOpen)
        return nullptr;
    return std::make_shared<MemorySettingsSuite>(shared_, suiteName);
}

void MemoryPreferences::setCannotOpen(bool cannotOpen) {
    std::lock_guard lock(shared_->mutex);
    shared_->cannotOpen = cannotOpen;
}

void MemoryPreferences::setLosesWrites(bool losesWrites) {
    std::lock_guard lock(shared_->mutex);
    shared_->losesWrites = losesWrites;
}

void MemoryPreferences::setSynchronizeFails(bool fails) {
    std::lock_guard lock(shared_->mutex);
    shared_->synchronizeFails = fails;
}

std::optional<MemoryPreferences::Value> MemoryPreferences::value(const std::string& suiteName,
                                                                 const std::string& key) const {
    std::lock_guard lock(shared_->mutex);
    auto suite = shared_->suites.find(suiteName);
    if (suite == shared_->suites.end())
        return std::nullopt;
    auto found = suite->second.find(key);
    if (found == suite->second.end())
        return std::nullopt;
    return found->second;
}

void MemoryPreferences::setValue(const std::string& suiteName, const std::string& key, Value value) {
    std::lock_guard lock(shared_->mutex);
    shared_->suites[suiteName][key] = std::move(value);
}

int MemoryPreferences::openCount() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->opens;
}

void MemoryPreferences::reinstall() {
    std::lock_guard lock(shared_->mutex);
    shared_->suites.clear();
}

} // namespace velquor::detail
