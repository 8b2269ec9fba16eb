// Framework base of the serial components: a name, a tag, a loaded hook and a destroying state.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kt::serial {

// Anything that can be the sender of a port event (a component or a port core).
class EventSender {
public:
    virtual ~EventSender() = default;
};

class Component : public EventSender {
public:
    Component() = default;
    Component(const Component&) = delete;
    Component& operator=(const Component&) = delete;

    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    std::intptr_t Tag() const { return tag_; }
    void SetTag(std::intptr_t tag) { tag_ = tag; }

    // Called by the owner once every property has been set.
    virtual void Loaded() {}

    // True from the start of the most derived destructor; read by worker threads.
    bool Destroying() const { return destroying_.load(); }

protected:
    void BeginDestroy() { destroying_ = true; }

private:
    std::string name_;
    std::intptr_t tag_ = 0;
    std::atomic<bool> destroying_{false};
};

}  // namespace kt::serial
