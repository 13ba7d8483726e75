// A host with its own GLib main loop: a framed-message echo server on 127.0.0.1 whose events
// arrive through the GLib loop, next to the host's own once-a-second timer. With the GLib pump
// set, the timer keeps ticking even while a Send waits for a peer that stopped reading.
// usage: example_glib_host [port [seconds]]   (defaults 5002, run until Ctrl-C)
#include "GlibPump.hpp"

#include <tavsock/tavsock.hpp>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 5002;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 0;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    int result = 0;
    {
        tavglib::GlibPump pump(g_main_context_default());

        auto tcp = tav::TavTCPSocketMgr::Create();
        auto accepted = tcp->AcceptComplete.SubscribeScoped([](const auto&, const auto&, const auto& peer) {
            std::cout << "connection from " << peer->IPAddress() << ":" << (peer->Port() & 0xFFFF) << std::endl;
        });
        auto received = tcp->DataReceived.SubscribeScoped([](const std::shared_ptr<tav::TAVSocket>& s, tav::Variant& msg) {
            try {
                s->Send(msg);  // lets the GLib loop run while the peer's buffer is full
            } catch (const tav::SockError& e) {
                std::cerr << "echo failed: " << tav::WinsockErrorText(e.Number()) << std::endl;
            }
        });
        auto closed = tcp->SocketClosed.SubscribeScoped([&](const std::shared_ptr<tav::TAVSocket>& s) { tcp->DestroySocket(s); });

        auto local = tav::TAVSockAddr::Create();
        local->IPAddress("127.0.0.1");
        local->Port(static_cast<int16_t>(port));
        try {
            auto server = tcp->CreateServerSocket(local, "", 16);
            server->MsgEndMark("\n");  // one message per line
            std::cout << "echoing lines on 127.0.0.1:" << port << " from a GLib main loop" << std::endl;

            int ticks = 0;
            struct Host {
                GMainLoop* loop;
                int* ticks;
                int seconds;
            } host{loop, &ticks, seconds};
            g_timeout_add_seconds(1, +[](gpointer data) -> gboolean {
                auto* h = static_cast<Host*>(data);
                std::cout << "host timer: tick " << ++*h->ticks << std::endl;
                if (h->seconds > 0 && *h->ticks >= h->seconds) g_main_loop_quit(h->loop);
                return G_SOURCE_CONTINUE;
            }, &host);
            g_main_loop_run(loop);
        } catch (const tav::SockError& e) {
            std::cerr << "cannot listen on port " << port << ": "
                      << tav::WinsockErrorText(e.Number() - tav::kSockErrorBase) << std::endl;
            result = 1;
        }
    }
    g_main_loop_unref(loop);
    return result;
}
