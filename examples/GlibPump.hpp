// Drives the library from a GLib main loop: the library's queue becomes one GLib source, and
// one GLib iteration becomes the library's pump, so the host's own timers and watches keep
// running while the library waits inside Connect or a send-retry wait.
//
// Header-only so that a host can copy it as it stands. Use on the thread that owns the
// library objects; the context is the one that thread runs.
#pragma once

#include <tavsock/MessageLoop.hpp>

#include <glib-unix.h>
#include <glib.h>

#include <chrono>

namespace tavglib {

class GlibPump {
public:
    /// Attaches the calling thread's queue to `context` and sets the thread's pump.
    explicit GlibPump(GMainContext* context) : context_(g_main_context_ref(context)) {
        source_ = g_unix_fd_source_new(tav::MessageLoopDescriptor(), G_IO_IN);
        g_source_set_callback(source_, G_SOURCE_FUNC(+[](gint, GIOCondition, gpointer) -> gboolean {
                                  tav::RunPendingMessages();
                                  return G_SOURCE_CONTINUE;
                              }),
                              nullptr, nullptr);
        // The pump runs nested inside this source's callback whenever a handler calls Send or
        // Connect; the library's messages must be able to arrive in that nested iteration too.
        g_source_set_can_recurse(source_, TRUE);
        g_source_attach(source_, context_);
        previous_ = tav::SetMessagePump([this](std::chrono::milliseconds maxWait) { return Iterate(maxWait); });
    }
    ~GlibPump() {
        tav::SetMessagePump(std::move(previous_));
        g_source_destroy(source_);
        g_source_unref(source_);
        g_main_context_unref(context_);
    }
    GlibPump(const GlibPump&) = delete;
    GlibPump& operator=(const GlibPump&) = delete;

private:
    /// One GLib iteration that blocks at most `maxWait`: a one-shot timeout source bounds it.
    int Iterate(std::chrono::milliseconds maxWait) {
        if (maxWait.count() <= 0) return g_main_context_iteration(context_, FALSE) ? 1 : 0;
        GSource* bound = g_timeout_source_new(static_cast<guint>(maxWait.count()));
        g_source_set_callback(bound, +[](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(bound, context_);
        const bool dispatched = g_main_context_iteration(context_, TRUE);
        g_source_destroy(bound);
        g_source_unref(bound);
        return dispatched ? 1 : 0;
    }

    GMainContext* context_;
    GSource* source_;
    tav::MessagePump previous_;
};

}  // namespace tavglib
