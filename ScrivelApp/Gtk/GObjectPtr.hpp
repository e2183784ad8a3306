#pragma once

#include <utility>

#include <glib-object.h>

namespace scrivel {

// The one owner of a GObject reference in the shell. `adopt` takes a
// reference the caller already owns (a "transfer full" return); `retain`
// takes a new one, sinking a floating reference (widgets, GStreamer
// elements) so the owner never shares it with a container by accident.
template <class T>
class GObjectPtr {
public:
    GObjectPtr() = default;
    ~GObjectPtr() { reset(); }
    GObjectPtr(const GObjectPtr&) = delete;
    GObjectPtr& operator=(const GObjectPtr&) = delete;
    GObjectPtr(GObjectPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    GObjectPtr& operator=(GObjectPtr&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }

    static GObjectPtr adopt(T* object) {
        GObjectPtr owner;
        owner.object_ = object;
        return owner;
    }
    static GObjectPtr retain(T* object) {
        GObjectPtr owner;
        owner.object_ = object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr;
        return owner;
    }

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset() {
        if (object_) g_object_unref(std::exchange(object_, nullptr));
    }

private:
    T* object_ = nullptr;
};

// Owns a GLib signal connection and disconnects it first thing, so no
// callback reaches a half-destroyed C++ object.
class SignalConnection {
public:
    SignalConnection() = default;
    SignalConnection(gpointer instance, gulong id) : instance_(instance), id_(id) {
        if (instance_) g_object_add_weak_pointer(G_OBJECT(instance_), &instance_);
    }
    ~SignalConnection() { disconnect(); }
    SignalConnection(const SignalConnection&) = delete;
    SignalConnection& operator=(const SignalConnection&) = delete;
    SignalConnection(SignalConnection&& other) noexcept { *this = std::move(other); }
    SignalConnection& operator=(SignalConnection&& other) noexcept {
        if (this != &other) {
            disconnect();
            instance_ = other.instance_;
            id_ = std::exchange(other.id_, 0);
            if (instance_) {
                g_object_remove_weak_pointer(G_OBJECT(instance_), &other.instance_);
                g_object_add_weak_pointer(G_OBJECT(instance_), &instance_);
            }
            other.instance_ = nullptr;
        }
        return *this;
    }

    void disconnect() {
        if (instance_) {
            if (id_ != 0) g_signal_handler_disconnect(instance_, id_);
            g_object_remove_weak_pointer(G_OBJECT(instance_), &instance_);
        }
        instance_ = nullptr;
        id_ = 0;
    }

private:
    gpointer instance_ = nullptr;
    gulong id_ = 0;
};

} // namespace scrivel
