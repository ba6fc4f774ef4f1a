#include "route.hpp"

#include <gio/gio.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <cstdint>
#include <set>
#include <string_view>

namespace qm::webkit::helper {

namespace {

// A request head longer than this is refused (a CONNECT head is a line or two).
constexpr std::size_t kMaxHeadBytes = 16 * 1024;
// Tunnels open at once; past this, new connections are closed at once.
constexpr int kMaxTunnels = 256;
// Seconds a connection may take to send its request head, and an upstream to answer.
constexpr guint kHeadTimeoutSeconds = 30;
constexpr guint kConnectTimeoutSeconds = 10;

constexpr std::string_view kEstablished = "HTTP/1.1 200 Connection established\r\n\r\n";

}  // namespace

struct Router::State {
    WebKitWebContext* context = nullptr;  // referenced
    GSocketService* service = nullptr;
    GSocketClient* client = nullptr;
    GCancellable* cancellable = nullptr;
    int port = 0;
    int tunnels = 0;
    std::string address;
    std::string authoritiesPEM;
    GList* authorities = nullptr;  // GTlsCertificate*, owned
    std::set<std::string> vouched;  // hosts the engine accepts the service's certificate for
    std::uint64_t generation = 0;   // changes with the route

    ~State() {
        if (cancellable) g_cancellable_cancel(cancellable);
        if (service) {
            g_socket_service_stop(service);
            g_socket_listener_close(G_SOCKET_LISTENER(service));
            g_signal_handlers_disconnect_by_data(service, this);
            g_object_unref(service);
        }
        g_list_free_full(authorities, g_object_unref);
        if (client) g_object_unref(client);
        if (cancellable) g_object_unref(cancellable);
        if (context) g_object_unref(context);
    }
};

namespace {

using State = Router::State;

// One connection from the engine, from its request head to the end of its tunnel.
struct Tunnel {
    std::shared_ptr<State> state;
    GSocketConnection* down = nullptr;
    GSocketConnection* up = nullptr;
    GIOStream* probe = nullptr;
    GSocketConnectable* identity = nullptr;
    std::uint64_t generation = 0;
    std::string head;
    std::string rest;   // bytes the engine sent after the head, for the upstream
    std::string reply;  // what is being written to the engine
    char buffer[4096];
    std::string host;
    int port = 0;
    bool routed = false;

    ~Tunnel() {
        if (probe) g_object_unref(probe);
        if (identity) g_object_unref(identity);
        if (up) g_object_unref(up);
        if (down) g_object_unref(down);
        --state->tunnels;
    }
};

void finish(Tunnel* t) { delete t; }

GInputStream* input(GSocketConnection* c) { return g_io_stream_get_input_stream(G_IO_STREAM(c)); }
GOutputStream* output(GSocketConnection* c) { return g_io_stream_get_output_stream(G_IO_STREAM(c)); }

void onRefusalWritten(GObject* source, GAsyncResult* result, gpointer data) {
    g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr);
    finish(static_cast<Tunnel*>(data));
}

// Answers the engine with an error status and closes the connection.
void refuse(Tunnel* t, const std::string& status, const std::string& why) {
    std::fprintf(stderr, "qm-webkit: route: %s %s: %s\n", t->host.empty() ? "connection" : t->host.c_str(),
                 status.c_str(), why.c_str());
    t->reply = "HTTP/1.1 " + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
               std::to_string(why.size()) + "\r\nConnection: close\r\n\r\n" + why;
    g_output_stream_write_all_async(output(t->down), t->reply.data(), t->reply.size(), G_PRIORITY_DEFAULT,
                                    t->state->cancellable, onRefusalWritten, t);
}

// A tunnel that cannot be made: the connection is closed without an answer, which the engine
// takes for a network failure and fails the load (an error status would be shown as the
// page).
void drop(Tunnel* t, const std::string& why) {
    std::fprintf(stderr, "qm-webkit: route: %s: %s\n", t->host.c_str(), why.c_str());
    finish(t);
}

std::string messageOf(GError* error, const char* otherwise) {
    std::string text = error ? error->message : otherwise;
    if (error) g_error_free(error);
    return text;
}

// ---- The tunnel ------------------------------------------------------------------------

void onSpliced(GObject*, GAsyncResult* result, gpointer data) {
    g_io_stream_splice_finish(result, nullptr);
    finish(static_cast<Tunnel*>(data));
}

void splice(Tunnel* t) {
    // The head's deadline is over: a tunnel may be quiet as long as its ends like.
    g_socket_set_timeout(g_socket_connection_get_socket(t->down), 0);
    g_io_stream_splice_async(G_IO_STREAM(t->down), G_IO_STREAM(t->up),
                             static_cast<GIOStreamSpliceFlags>(G_IO_STREAM_SPLICE_CLOSE_STREAM1 |
                                                               G_IO_STREAM_SPLICE_CLOSE_STREAM2),
                             G_PRIORITY_DEFAULT, t->state->cancellable, onSpliced, t);
}

void onRestWritten(GObject* source, GAsyncResult* result, gpointer data) {
    auto* t = static_cast<Tunnel*>(data);
    if (!g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr)) return finish(t);
    splice(t);
}

void onEstablishedWritten(GObject* source, GAsyncResult* result, gpointer data) {
    auto* t = static_cast<Tunnel*>(data);
    if (!g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr)) return finish(t);
    if (t->rest.empty()) return splice(t);
    g_output_stream_write_all_async(output(t->up), t->rest.data(), t->rest.size(), G_PRIORITY_DEFAULT,
                                    t->state->cancellable, onRestWritten, t);
}

void onUpstream(GObject* source, GAsyncResult* result, gpointer data) {
    auto* t = static_cast<Tunnel*>(data);
    GError* error = nullptr;
    t->up = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(source), result, &error);
    if (!t->up) {
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            g_error_free(error);
            return finish(t);
        }
        return drop(t, "cannot connect: " + messageOf(error, "?"));
    }
    t->reply = std::string(kEstablished);
    g_output_stream_write_all_async(output(t->down), t->reply.data(), t->reply.size(), G_PRIORITY_DEFAULT,
                                    t->state->cancellable, onEstablishedWritten, t);
}

void connectUpstream(Tunnel* t) {
    const std::string target = t->routed ? t->state->address : t->host;
    g_socket_client_connect_to_host_async(t->state->client, target.c_str(), static_cast<guint16>(t->port),
                                          t->state->cancellable, onUpstream, t);
}

// ---- The service's certificate, checked once per host and route ---------------------------

gboolean acceptForInspection(GTlsConnection*, GTlsCertificate*, GTlsCertificateFlags, gpointer) {
    // The probe only reads the certificate; whether it is trusted is decided below.
    return TRUE;
}

void onProbeHandshake(GObject* source, GAsyncResult* result, gpointer data) {
    auto* t = static_cast<Tunnel*>(data);
    GError* error = nullptr;
    if (!g_tls_connection_handshake_finish(G_TLS_CONNECTION(source), result, &error)) {
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            g_error_free(error);
            return finish(t);
        }
        return drop(t, "no TLS with the routed service: " + messageOf(error, "?"));
    }
    GTlsCertificate* presented = g_tls_connection_get_peer_certificate(G_TLS_CONNECTION(source));
    State& state = *t->state;
    bool vouched = false;
    for (GList* ca = state.authorities; presented && ca && !vouched; ca = ca->next)
        vouched = g_tls_certificate_verify(presented, t->identity, G_TLS_CERTIFICATE(ca->data)) == 0;
    // A route changed meanwhile has its own authorities: this answer is not theirs.
    if (vouched && t->generation == state.generation) {
        webkit_web_context_allow_tls_certificate_for_host(state.context, presented, t->host.c_str());
        state.vouched.insert(t->host);
    } else if (!vouched) {
        std::fprintf(stderr, "qm-webkit: route: no authority vouches for the certificate presented for %s\n",
                     t->host.c_str());
    }
    g_object_unref(t->probe);
    t->probe = nullptr;
    // Unvouched, the engine's own checks decide (and refuse it).
    connectUpstream(t);
}

void onProbeConnected(GObject* source, GAsyncResult* result, gpointer data) {
    auto* t = static_cast<Tunnel*>(data);
    GError* error = nullptr;
    GSocketConnection* connection = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(source), result, &error);
    if (!connection) {
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
            g_error_free(error);
            return finish(t);
        }
        return drop(t, "the routed service is unreachable: " + messageOf(error, "?"));
    }
    t->identity = g_network_address_new(t->host.c_str(), static_cast<guint16>(t->port));
    t->probe = g_tls_client_connection_new(G_IO_STREAM(connection), t->identity, &error);
    g_object_unref(connection);
    if (!t->probe) return drop(t, "no TLS here: " + messageOf(error, "?"));
    g_signal_connect(t->probe, "accept-certificate", G_CALLBACK(acceptForInspection), nullptr);
    g_tls_connection_handshake_async(G_TLS_CONNECTION(t->probe), G_PRIORITY_DEFAULT, t->state->cancellable,
                                     onProbeHandshake, t);
}

// ---- The request head --------------------------------------------------------------------

// "host:port" or "[v6]:port" of a CONNECT; false when it is neither.
bool parseTarget(std::string_view target, std::string& host, int& port) {
    const auto colon = target.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == target.size() || target.size() - colon > 6)
        return false;
    std::string_view name = target.substr(0, colon);
    if (name.front() == '[') {
        if (name.size() < 3 || name.back() != ']') return false;
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string_view::npos) {
        return false;
    }
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '/' || c == '@') return false;
    }
    int value = 0;
    for (char c : target.substr(colon + 1)) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    host = std::string(name);
    port = value;
    return true;
}

void onHeadRead(GObject* source, GAsyncResult* result, gpointer data);

void readHead(Tunnel* t) {
    g_input_stream_read_async(input(t->down), t->buffer, sizeof t->buffer, G_PRIORITY_DEFAULT, t->state->cancellable,
                              onHeadRead, t);
}

void handleHead(Tunnel* t, std::size_t end) {
    const std::string_view head(t->head.data(), end);
    const auto lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    const auto space1 = line.find(' ');
    const auto space2 = space1 == std::string_view::npos ? space1 : line.find(' ', space1 + 1);
    if (space2 == std::string_view::npos || !line.substr(space2 + 1).starts_with("HTTP/1."))
        return refuse(t, "400 Bad Request", "not an HTTP request");
    const std::string_view method = line.substr(0, space1);
    if (method != "CONNECT")
        return refuse(t, "502 Bad Gateway", "only HTTPS is routed (CONNECT tunnels); plain HTTP is refused");
    if (!parseTarget(line.substr(space1 + 1, space2 - space1 - 1), t->host, t->port))
        return refuse(t, "400 Bad Request", "a CONNECT names host:port");
    t->rest = t->head.substr(end + 4);
    t->head.clear();
    State& state = *t->state;
    t->routed = !state.address.empty() && t->port == 443;
    t->generation = state.generation;
    if (t->routed && state.authorities && !state.vouched.count(t->host)) {
        g_socket_client_connect_to_host_async(state.client, state.address.c_str(), 443, state.cancellable,
                                              onProbeConnected, t);
        return;
    }
    connectUpstream(t);
}

void onHeadRead(GObject* source, GAsyncResult* result, gpointer data) {
    auto* t = static_cast<Tunnel*>(data);
    const gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
    if (n <= 0) return finish(t);  // closed, timed out or cancelled before asking anything
    const std::size_t from = t->head.size() >= 3 ? t->head.size() - 3 : 0;
    t->head.append(t->buffer, static_cast<std::size_t>(n));
    const auto end = t->head.find("\r\n\r\n", from);
    if (end != std::string::npos) return handleHead(t, end);
    if (t->head.size() > kMaxHeadBytes) return refuse(t, "431 Request Header Fields Too Large", "request head too long");
    readHead(t);
}

gboolean onIncoming(GSocketService*, GSocketConnection* connection, GObject*, gpointer data) {
    auto* holder = static_cast<std::weak_ptr<State>*>(data);
    auto state = holder->lock();
    if (!state || state->tunnels >= kMaxTunnels) return TRUE;  // dropped: the connection closes
    auto* t = new Tunnel;
    t->state = state;
    ++state->tunnels;
    t->down = G_SOCKET_CONNECTION(g_object_ref(connection));
    g_socket_set_timeout(g_socket_connection_get_socket(connection), kHeadTimeoutSeconds);
    readHead(t);
    return TRUE;
}

// Every certificate of a PEM text, in order; nothing (and *why) when one does not parse or
// there is none.
GList* certificatesIn(const std::string& pem, std::string* why) {
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    GList* list = nullptr;
    std::size_t at = 0;
    while ((at = pem.find(kBegin, at)) != std::string::npos) {
        const auto end = pem.find(kEnd, at);
        if (end == std::string::npos) break;
        const std::string block = pem.substr(at, end + kEnd.size() - at) + "\n";
        at = end + kEnd.size();
        GError* error = nullptr;
        GTlsCertificate* certificate = g_tls_certificate_new_from_pem(block.c_str(), -1, &error);
        if (!certificate) {
            *why = messageOf(error, "unreadable certificate");
            g_list_free_full(list, g_object_unref);
            return nullptr;
        }
        list = g_list_append(list, certificate);
    }
    if (!list) *why = "none found";
    return list;
}

void forgetHolder(gpointer data, GClosure*) { delete static_cast<std::weak_ptr<State>*>(data); }

}  // namespace

Router::Router(WebKitWebContext* context) : state_(std::make_shared<State>()) {
    state_->context = WEBKIT_WEB_CONTEXT(g_object_ref(context));
    state_->cancellable = g_cancellable_new();
}

Router::~Router() {
    // Tunnels still open hold the state: they end as their operations are cancelled.
    g_cancellable_cancel(state_->cancellable);
    if (state_->service) g_socket_service_stop(state_->service);
}

int Router::port() const { return state_->port; }

bool Router::set(const std::string& address, const std::string& authoritiesPEM, std::string* error) {
    State& state = *state_;
    if (address == state.address && authoritiesPEM == state.authoritiesPEM) return true;
    GList* authorities = nullptr;
    if (!authoritiesPEM.empty()) {
        std::string why;
        authorities = certificatesIn(authoritiesPEM, &why);
        if (!authorities) {
            if (error) *error = "no certificate in the PEM: " + why;
            return false;
        }
    }
    if (!address.empty() && !state.service) {
        GSocketService* service = g_socket_service_new();
        GInetAddress* loopback = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
        GSocketAddress* wanted = g_inet_socket_address_new(loopback, 0);
        GSocketAddress* bound = nullptr;
        GError* e = nullptr;
        const bool listening = g_socket_listener_add_address(G_SOCKET_LISTENER(service), wanted, G_SOCKET_TYPE_STREAM,
                                                             G_SOCKET_PROTOCOL_TCP, nullptr, &bound, &e);
        g_object_unref(wanted);
        g_object_unref(loopback);
        if (!listening) {
            if (error) *error = "the route's proxy cannot listen: " + messageOf(e, "?");
            else if (e) g_error_free(e);
            g_object_unref(service);
            g_list_free_full(authorities, g_object_unref);
            return false;
        }
        state.port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound));
        g_object_unref(bound);
        g_signal_connect_data(service, "incoming", G_CALLBACK(onIncoming), new std::weak_ptr<State>(state_),
                              forgetHolder, static_cast<GConnectFlags>(0));
        g_socket_service_start(service);
        state.service = service;
        state.client = g_socket_client_new();
        g_socket_client_set_timeout(state.client, kConnectTimeoutSeconds);
    }
    g_list_free_full(state.authorities, g_object_unref);
    state.authorities = authorities;
    state.address = address;
    state.authoritiesPEM = authoritiesPEM;
    state.vouched.clear();
    ++state.generation;

    WebKitWebsiteDataManager* data = webkit_web_context_get_website_data_manager(state.context);
    if (address.empty()) {
        webkit_website_data_manager_set_network_proxy_settings(data, WEBKIT_NETWORK_PROXY_MODE_DEFAULT, nullptr);
    } else {
        const std::string proxy = "http://127.0.0.1:" + std::to_string(state.port);
        WebKitNetworkProxySettings* settings = webkit_network_proxy_settings_new(proxy.c_str(), nullptr);
        webkit_website_data_manager_set_network_proxy_settings(data, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, settings);
        webkit_network_proxy_settings_free(settings);
    }
    return true;
}

}  // namespace qm::webkit::helper
