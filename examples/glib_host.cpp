// A host with its own GLib main loop: a framed-message echo server on 127.0.0.1 whose events
// arrive through the GLib loop, next to the host's own once-a-second timer.
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
        auto accepted = tcp->AcceptComplete.SubscribeScoped([](const auto&, const auto& s, const auto& peer) {
            s->lngRetrySendTimes(0);  // the README's server pattern: Send never waits
            std::cout << "connection from " << peer->IPAddress() << ":" << (peer->Port() & 0xFFFF) << std::endl;
        });
        // A peer that does not read is not read either while over 1 MiB of echoes wait for it
        // (the README's server pattern); a connection whose Send failed is reported once.
        auto received = tcp->DataReceived.SubscribeScoped([](const std::shared_ptr<tav::TAVSocket>& s, tav::Variant& msg) {
            if (s->Tag().IsNumber()) return;
            try {
                s->Send(msg);
            } catch (const tav::SockError& e) {
                if (e.Number() != 10035) {  // 10035: the rest goes out after DataSent
                    std::cerr << "echo failed: " << tav::WinsockErrorText(e.Number()) << std::endl;
                    s->Tag(e.Number());
                }
            }
            if (s->PendedSendLength() > (1 << 20)) s->PauseRecv();
        });
        auto sent = tcp->DataSent.SubscribeScoped([](const std::shared_ptr<tav::TAVSocket>& s) {
            if (s->IsRecvPaused() && s->PendedSendLength() < (256 << 10)) s->ResumeRecv();
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
