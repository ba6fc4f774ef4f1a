#include "engine.hpp"

#include <errno.h>
#include <poll.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "protocol.hpp"
#include "qmplatform/json.hpp"
#include "route.hpp"
#include "system.hpp"

namespace qm::webkit::helper {

namespace {

// Past this much unsent output the library is not reading: the helper gives up.
constexpr std::size_t kMaxPendingOutput = std::size_t{256} << 20;

class Engine;

// An evaluate or snapshot waiting for the engine, with its deadline.
struct PendingCall {
    Engine* engine = nullptr;
    std::int64_t requestId = 0;
    std::int64_t view = 0;
    Request request;
    GCancellable* cancellable = nullptr;
    guint timer = 0;
    bool answered = false;
};

// A client load the helper started and expects a navigation for.
struct ClientLoad {
    std::int64_t id = 0;
    std::string url;
};

struct View {
    Engine* engine = nullptr;
    std::int64_t id = 0;
    GtkWidget* window = nullptr;
    WebKitWebView* web = nullptr;
    WebKitUserContentManager* content = nullptr;
    std::vector<gulong> contentSignals;
    std::deque<ClientLoad> clientLoads;  // asked for, their navigation not seen yet
    std::int64_t allowedLoad = 0;        // the load allowed last, whose events come next
    std::int64_t activeLoad = 0;         // the load the current load events belong to
    std::map<std::int64_t, WebKitPolicyDecision*> held;  // navigation id -> decision
    std::map<std::int64_t, std::string> heldNewWindows;  // navigation id -> url
};

// The engine's URLs and the asked ones differ in small ways ("http://a" -> "http://a/").
std::string normalizedURL(const std::string& url) {
    GUri* uri = g_uri_parse(url.c_str(), static_cast<GUriFlags>(G_URI_FLAGS_ENCODED | G_URI_FLAGS_SCHEME_NORMALIZE), nullptr);
    if (!uri) return url;
    char* text = g_uri_to_string(uri);
    std::string out = text ? text : url;
    g_free(text);
    g_uri_unref(uri);
    return out;
}

NavigationType navigationTypeOf(WebKitNavigationAction* action) {
    switch (webkit_navigation_action_get_navigation_type(action)) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED: return NavigationType::LinkActivated;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED: return NavigationType::FormSubmitted;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD: return NavigationType::BackForward;
    case WEBKIT_NAVIGATION_TYPE_RELOAD: return NavigationType::Reload;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED: return NavigationType::FormResubmitted;
    default: return NavigationType::Other;
    }
}

// A JavaScript value as a protocol value: its JSON form, or null when it has none.
Value valueOf(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return Value::null();
    char* json = jsc_value_to_json(value, 0);
    if (!json) return Value::null();
    platform::json::ReadOptions options;
    options.allowFragments = true;
    auto parsed = platform::json::parse(json, options);
    g_free(json);
    return parsed ? *parsed : Value::null();
}

class Engine {
public:
    explicit Engine(const EngineOptions& options) : options_(options) {}

    int run() {
        loop_ = g_main_loop_new(nullptr, FALSE);
        context_ = webkit_web_context_new_ephemeral();
        webkit_web_context_set_cache_model(context_, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
        router_ = std::make_unique<Router>(context_);
        setNonBlocking(options_.inFd);
        setNonBlocking(options_.outFd);
        inWatch_ = g_unix_fd_add(options_.inFd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onReadable, this);
        const guint term = g_unix_signal_add(SIGTERM, onSignal, this);
        const guint intr = g_unix_signal_add(SIGINT, onSignal, this);

        Event ready;
        ready.kind = EventKind::Ready;
        ready.pid = getpid();
        ready.xvfbPid = options_.xvfbPid;
        ready.display = options_.display;
        send(ready);

        if (!stopping_) g_main_loop_run(loop_);

        g_source_remove(term);
        g_source_remove(intr);
        if (inWatch_) g_source_remove(inWatch_);
        if (outWatch_) g_source_remove(outWatch_);
        while (!views_.empty()) destroyView(views_.begin()->first);
        // Pending answers are written out, as far as the library still reads them.
        flushBlocking();
        router_.reset();
        g_object_unref(context_);
        g_main_loop_unref(loop_);
        return 0;
    }

    // ---- Output ----------------------------------------------------------------------

    void send(const Event& event) {
        std::string error;
        auto line = encode(event, &error);
        if (!line) {
            std::fprintf(stderr, "qm-webkit: event %s dropped: %s\n", std::string(eventKindName(event.kind)).c_str(),
                         error.c_str());
            return;
        }
        queue(*line);
    }

    void answer(const Response& response) {
        std::string error;
        auto line = encode(response, &error);
        if (!line) line = encode(Response::failure(response.id, ErrorKind::Failed, "answer not sendable: " + error));
        if (line) queue(*line);
    }

    void answerError(std::int64_t id, ErrorKind kind, std::string message) {
        answer(Response::failure(id, kind, std::move(message)));
    }

    // ---- Requests --------------------------------------------------------------------

    void handleLine(const LineSplitter::Line& line) {
        if (line.overlong) {
            answerError(0, ErrorKind::BadRequest, "line longer than the line limit");
            return;
        }
        DecodedRequest decoded = decodeRequest(line.text);
        if (!decoded.request) {
            answerError(decoded.id, ErrorKind::BadRequest, decoded.error);
            return;
        }
        handle(*decoded.request);
    }

    void handle(const Request& r) {
        switch (r.op) {
        case Op::Hello: {
            Value fields = Value::dictionary();
            fields.set("version", kProtocolVersion);
            fields.set("engineVersion", std::to_string(webkit_get_major_version()) + "." +
                                            std::to_string(webkit_get_minor_version()) + "." +
                                            std::to_string(webkit_get_micro_version()));
            // What a view reports when the library sets no agent of its own.
            WebKitSettings* settings = webkit_settings_new();
            const char* agent = webkit_settings_get_user_agent(settings);
            fields.set("userAgent", agent ? agent : "");
            g_object_unref(settings);
            answer(Response::success(r.id, fields));
            return;
        }
        case Op::Ping:
            answer(Response::success(r.id));
            return;
        case Op::Shutdown:
            answer(Response::success(r.id));
            stop();
            return;
        case Op::TrustCertificate: {
            GError* error = nullptr;
            GTlsCertificate* certificate = g_tls_certificate_new_from_pem(r.certificatePEM.c_str(), -1, &error);
            if (!certificate) {
                answerError(r.id, ErrorKind::Failed, std::string("certificate refused: ") + (error ? error->message : "?"));
                if (error) g_error_free(error);
                return;
            }
            webkit_web_context_allow_tls_certificate_for_host(context_, certificate, r.host.c_str());
            g_object_unref(certificate);
            answer(Response::success(r.id));
            return;
        }
        case Op::Route: {
            std::string error;
            if (router_->set(r.address, r.certificatePEM, &error)) answer(Response::success(r.id));
            else answerError(r.id, ErrorKind::Failed, error);
            return;
        }
        case Op::CreateView:
            if (views_.count(r.view)) {
                answerError(r.id, ErrorKind::BadRequest, "view " + std::to_string(r.view) + " exists");
                return;
            }
            createView(r);
            answer(Response::success(r.id));
            return;
        default:
            break;
        }
        View* view = find(r.view);
        if (!view) {
            answerError(r.id, ErrorKind::NoView, "no view " + std::to_string(r.view));
            return;
        }
        switch (r.op) {
        case Op::DestroyView:
            destroyView(r.view);
            answer(Response::success(r.id));
            return;
        case Op::Resize:
            resize(*view, r.width, r.height, r.scale);
            answer(Response::success(r.id));
            return;
        case Op::LoadHTML: {
            const std::string base = r.baseURL.empty() ? "about:blank" : r.baseURL;
            view->clientLoads.push_back({r.id, normalizedURL(base)});
            webkit_web_view_load_html(view->web, r.html.c_str(), r.baseURL.empty() ? nullptr : r.baseURL.c_str());
            answer(Response::success(r.id));
            return;
        }
        case Op::LoadURL: {
            view->clientLoads.push_back({r.id, normalizedURL(r.url)});
            WebKitURIRequest* request = webkit_uri_request_new(r.url.c_str());
            if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request)) {
                for (const auto& [name, value] : r.headers) {
                    // The engine writes the agent header itself from the view's settings: an
                    // agent given for the load becomes the view's (for its later requests too).
                    if (g_ascii_strcasecmp(name.c_str(), "User-Agent") == 0)
                        webkit_settings_set_user_agent(webkit_web_view_get_settings(view->web), value.c_str());
                    else
                        soup_message_headers_replace(headers, name.c_str(), value.c_str());
                }
            }
            webkit_web_view_load_request(view->web, request);
            g_object_unref(request);
            answer(Response::success(r.id));
            return;
        }
        case Op::DecideNavigation:
            decide(*view, r);
            return;
        case Op::Evaluate:
        case Op::Snapshot:
            startCall(*view, r);
            return;
        default:
            answerError(r.id, ErrorKind::BadRequest, "unexpected op");
            return;
        }
    }

private:
    // ---- Views -----------------------------------------------------------------------

    View* find(std::int64_t id) {
        auto it = views_.find(id);
        return it == views_.end() ? nullptr : it->second.get();
    }

    void createView(const Request& r) {
        auto view = std::make_unique<View>();
        view->engine = this;
        view->id = r.view;
        view->content = webkit_user_content_manager_new();
        for (const auto& name : r.handlers) {
            // Connected before registering, so no message can come in between.
            const std::string signal = "script-message-received::" + name;
            view->contentSignals.push_back(
                g_signal_connect(view->content, signal.c_str(), G_CALLBACK(onScriptMessage), view.get()));
            webkit_user_content_manager_register_script_message_handler(view->content, name.c_str());
        }
        WebKitSettings* settings = webkit_settings_new();
        if (!r.userAgent.empty()) {
            webkit_settings_set_user_agent(settings, r.userAgent.c_str());
        } else if (!r.applicationName.empty()) {
            // "name/version" (or a bare name) ends the engine's own agent.
            const auto slash = r.applicationName.find('/');
            const std::string name = r.applicationName.substr(0, slash);
            const std::string version = slash == std::string::npos ? std::string() : r.applicationName.substr(slash + 1);
            webkit_settings_set_user_agent_with_application_details(settings, name.c_str(),
                                                                    version.empty() ? nullptr : version.c_str());
        }
        webkit_settings_set_enable_developer_extras(settings, FALSE);
        webkit_settings_set_enable_page_cache(settings, FALSE);
        // window.open reaches the navigation decision (and is reported) instead of being blocked.
        webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
        view->web = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context_, "user-content-manager",
                                                 view->content, "settings", settings, nullptr));
        g_object_unref(settings);
        g_object_ref_sink(view->web);
        view->window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(view->window), GTK_WIDGET(view->web));
        resize(*view, r.width, r.height, r.scale);
        gtk_widget_show_all(view->window);

        g_signal_connect(view->web, "decide-policy", G_CALLBACK(onDecidePolicy), view.get());
        g_signal_connect(view->web, "create", G_CALLBACK(onCreate), view.get());
        g_signal_connect(view->web, "load-changed", G_CALLBACK(onLoadChanged), view.get());
        g_signal_connect(view->web, "load-failed", G_CALLBACK(onLoadFailed), view.get());
        g_signal_connect(view->web, "web-process-terminated", G_CALLBACK(onProcessTerminated), view.get());
        views_[r.view] = std::move(view);
    }

    // The window has the device size; the zoom makes the page's CSS viewport the asked size.
    static void resize(View& view, int width, int height, double scale) {
        const int w = static_cast<int>(width * scale + 0.5);
        const int h = static_cast<int>(height * scale + 0.5);
        gtk_widget_set_size_request(GTK_WIDGET(view.web), w, h);
        gtk_window_resize(GTK_WINDOW(view.window), w, h);
        webkit_web_view_set_zoom_level(view.web, scale);
    }

    void destroyView(std::int64_t id) {
        auto it = views_.find(id);
        if (it == views_.end()) return;
        std::unique_ptr<View> view = std::move(it->second);
        views_.erase(it);
        // Calls still waiting are answered now; the engine's late callbacks find them answered.
        std::vector<PendingCall*> waiting;
        for (PendingCall* call : calls_)
            if (call->view == id && !call->answered) waiting.push_back(call);
        for (PendingCall* call : waiting) {
            finishCall(call);
            answerError(call->requestId, ErrorKind::NoView, "view " + std::to_string(id) + " was destroyed");
            // Last use: cancelling may run the callback, which frees the call.
            g_cancellable_cancel(call->cancellable);
        }
        for (auto& [nav, decision] : view->held) {
            webkit_policy_decision_ignore(decision);
            g_object_unref(decision);
        }
        g_signal_handlers_disconnect_by_data(view->web, view.get());
        for (gulong s : view->contentSignals) g_signal_handler_disconnect(view->content, s);
        gtk_widget_destroy(view->window);
        g_object_unref(view->web);
        g_object_unref(view->content);
    }

    // ---- Navigation ------------------------------------------------------------------

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   View* view) {
        if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
        auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(navigation);
        WebKitURIRequest* request = webkit_navigation_action_get_request(action);
        const char* uri = webkit_uri_request_get_uri(request);
        const std::string url = uri ? uri : "";
        Engine& engine = *view->engine;

        if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
            // A redirect continues a navigation that was allowed already.
            if (webkit_navigation_action_is_redirect(action)) {
                webkit_policy_decision_use(decision);
                return TRUE;
            }
            // The loads the library asked for go ahead without asking it again.
            if (!view->clientLoads.empty() && view->clientLoads.front().url == normalizedURL(url) &&
                !webkit_navigation_action_is_user_gesture(action)) {
                view->allowedLoad = view->clientLoads.front().id;
                view->clientLoads.pop_front();
                webkit_policy_decision_use(decision);
                return TRUE;
            }
        }
        const std::int64_t id = ++engine.navigations_;
        Event event;
        event.kind = EventKind::NavigationRequested;
        event.view = view->id;
        event.navigation = id;
        event.url = url;
        event.navigationType = navigationTypeOf(action);
        if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
            // No window is opened here; an allowed one loads in this view.
            event.newWindow = true;
            webkit_policy_decision_ignore(decision);
            view->heldNewWindows[id] = url;
        } else {
            view->held[id] = WEBKIT_POLICY_DECISION(g_object_ref(decision));
        }
        engine.send(event);
        return TRUE;
    }

    // window.open: no window is made; the library is asked, as for a target=_blank link.
    static GtkWidget* onCreate(WebKitWebView*, WebKitNavigationAction* action, View* view) {
        const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
        Event event;
        event.kind = EventKind::NavigationRequested;
        event.view = view->id;
        event.navigation = ++view->engine->navigations_;
        event.url = uri ? uri : "";
        event.newWindow = true;
        event.navigationType = navigationTypeOf(action);
        view->heldNewWindows[event.navigation] = event.url;
        view->engine->send(event);
        return nullptr;
    }

    void decide(View& view, const Request& r) {
        if (auto it = view.held.find(r.navigation); it != view.held.end()) {
            WebKitPolicyDecision* decision = it->second;
            view.held.erase(it);
            if (r.allow) {
                view.allowedLoad = r.navigation;
                webkit_policy_decision_use(decision);
            } else {
                webkit_policy_decision_ignore(decision);
            }
            g_object_unref(decision);
            answer(Response::success(r.id));
            return;
        }
        if (auto it = view.heldNewWindows.find(r.navigation); it != view.heldNewWindows.end()) {
            const std::string url = it->second;
            view.heldNewWindows.erase(it);
            if (r.allow) {
                view.clientLoads.push_back({r.navigation, normalizedURL(url)});
                webkit_web_view_load_uri(view.web, url.c_str());
            }
            answer(Response::success(r.id));
            return;
        }
        answerError(r.id, ErrorKind::Failed, "no navigation " + std::to_string(r.navigation) + " is waiting");
    }

    static void onLoadChanged(WebKitWebView* web, WebKitLoadEvent loadEvent, View* view) {
        Event event;
        event.kind = EventKind::LoadState;
        event.view = view->id;
        const char* uri = webkit_web_view_get_uri(web);
        event.url = uri ? uri : "";
        switch (loadEvent) {
        case WEBKIT_LOAD_STARTED:
            event.state = LoadState::Started;
            view->activeLoad = view->allowedLoad;
            view->allowedLoad = 0;
            break;
        case WEBKIT_LOAD_REDIRECTED: event.state = LoadState::Redirected; break;
        case WEBKIT_LOAD_COMMITTED: event.state = LoadState::Committed; break;
        case WEBKIT_LOAD_FINISHED: event.state = LoadState::Finished; break;
        }
        event.load = view->activeLoad;
        view->engine->send(event);
    }

    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* failingURI, GError* error, View* view) {
        // A load stopped for another one, or by a navigation decision, did not fail.
        const bool cancelled = g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
                               g_error_matches(error, WEBKIT_POLICY_ERROR,
                                               WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
        if (!cancelled) {
            Event event;
            event.kind = EventKind::LoadFailed;
            event.view = view->id;
            event.url = failingURI ? failingURI : "";
            event.message = error ? error->message : "load failed";
            event.load = view->activeLoad;
            view->engine->send(event);
        }
        return TRUE;  // no built-in error page
    }

    static void onProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, View* view) {
        Event event;
        event.kind = EventKind::ViewCrashed;
        event.view = view->id;
        switch (reason) {
        case WEBKIT_WEB_PROCESS_CRASHED: event.message = "the web process crashed"; break;
        case WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT: event.message = "the web process exceeded its memory limit"; break;
        default: event.message = "the web process was terminated"; break;
        }
        view->engine->send(event);
    }

    static void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, View* view) {
        // The handler's name is the signal's detail; find it from the signal being emitted.
        GSignalInvocationHint* hint = g_signal_get_invocation_hint(view->content);
        Event event;
        event.kind = EventKind::ScriptMessage;
        event.view = view->id;
        event.name = hint && hint->detail ? g_quark_to_string(hint->detail) : "";
        event.body = valueOf(webkit_javascript_result_get_js_value(result));
        view->engine->send(event);
    }

    // ---- Evaluate and snapshot ---------------------------------------------------------

    void startCall(View& view, const Request& r) {
        auto* call = new PendingCall;
        call->engine = this;
        call->requestId = r.id;
        call->view = view.id;
        call->request = r;
        call->cancellable = g_cancellable_new();
        call->timer = g_timeout_add(static_cast<guint>(r.timeoutMs), onDeadline, call);
        calls_.insert(call);
        if (r.op == Op::Evaluate) {
            webkit_web_view_evaluate_javascript(view.web, r.script.c_str(), static_cast<gssize>(r.script.size()), nullptr,
                                                nullptr, call->cancellable, onEvaluated, call);
        } else {
            webkit_web_view_get_snapshot(view.web, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                                         call->cancellable, onSnapshot, call);
        }
    }

    // Marks the call answered and stops its deadline.
    static void finishCall(PendingCall* call) {
        call->answered = true;
        if (call->timer) g_source_remove(call->timer);
        call->timer = 0;
    }

    // The engine is done with the call (its callback ran): forget it.
    void releaseCall(PendingCall* call) {
        calls_.erase(call);
        if (call->timer) g_source_remove(call->timer);
        g_object_unref(call->cancellable);
        delete call;
    }

    static gboolean onDeadline(gpointer data) {
        auto* call = static_cast<PendingCall*>(data);
        call->timer = 0;
        call->answered = true;
        call->engine->answerError(call->requestId, ErrorKind::Timeout,
                                  std::string(opName(call->request.op)) + " took longer than " +
                                      std::to_string(call->request.timeoutMs) + " ms");
        g_cancellable_cancel(call->cancellable);
        return G_SOURCE_REMOVE;
    }

    static void onEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
        auto* call = static_cast<PendingCall*>(data);
        Engine& engine = *call->engine;
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (!call->answered) {
            finishCall(call);
            if (value) {
                Value fields = Value::dictionary();
                fields.set("value", valueOf(value));
                engine.answer(Response::success(call->requestId, fields));
            } else if (g_error_matches(error, WEBKIT_JAVASCRIPT_ERROR, WEBKIT_JAVASCRIPT_ERROR_SCRIPT_FAILED)) {
                engine.answerError(call->requestId, ErrorKind::Exception, error->message);
            } else {
                engine.answerError(call->requestId, ErrorKind::Failed, error ? error->message : "evaluation failed");
            }
        }
        if (value) g_object_unref(value);
        if (error) g_error_free(error);
        engine.releaseCall(call);
    }

    static cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
        static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
        return CAIRO_STATUS_SUCCESS;
    }

    static void onSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
        auto* call = static_cast<PendingCall*>(data);
        Engine& engine = *call->engine;
        GError* error = nullptr;
        cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (!call->answered) {
            finishCall(call);
            if (!surface) {
                engine.answerError(call->requestId, ErrorKind::Failed, error ? error->message : "no snapshot");
            } else {
                Value fields = Value::dictionary();
                fields.set("width", cairo_image_surface_get_width(surface));
                fields.set("height", cairo_image_surface_get_height(surface));
                cairo_status_t status;
                if (call->request.path.empty()) {
                    std::string png;
                    status = cairo_surface_write_to_png_stream(surface, appendBytes, &png);
                    fields.set("png", base64Encode(png));
                } else {
                    status = cairo_surface_write_to_png(surface, call->request.path.c_str());
                    fields.set("path", call->request.path);
                }
                if (status == CAIRO_STATUS_SUCCESS) {
                    engine.answer(Response::success(call->requestId, fields));
                } else {
                    engine.answerError(call->requestId, ErrorKind::Failed,
                                       std::string("PNG not written: ") + cairo_status_to_string(status));
                }
            }
        }
        if (surface) cairo_surface_destroy(surface);
        if (error) g_error_free(error);
        engine.releaseCall(call);
    }

    // ---- The socket ------------------------------------------------------------------

    static gboolean onReadable(gint fd, GIOCondition, gpointer data) {
        auto* engine = static_cast<Engine*>(data);
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                engine->input_.append(std::string_view(buffer, static_cast<std::size_t>(n)));
                while (auto line = engine->input_.next()) {
                    engine->handleLine(*line);
                    if (engine->stopping_) break;
                }
                if (engine->stopping_) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return G_SOURCE_CONTINUE;
            // End of file (or the socket broke): the library is gone or done.
            engine->stop();
            break;
        }
        engine->inWatch_ = 0;
        return G_SOURCE_REMOVE;
    }

    void queue(const std::string& line) {
        if (outputLost_) return;
        output_.append(line);
        if (output_.size() - outputStart_ > kMaxPendingOutput) {
            std::fprintf(stderr, "qm-webkit: the library stopped reading; exiting\n");
            outputLost_ = true;
            stop();
            return;
        }
        flush();
    }

    // Writes what the socket takes now; watches for room when something is left.
    void flush() {
        while (outputStart_ < output_.size()) {
            const ssize_t n = write(options_.outFd, output_.data() + outputStart_, output_.size() - outputStart_);
            if (n > 0) {
                outputStart_ += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (!outWatch_)
                    outWatch_ = g_unix_fd_add(options_.outFd, static_cast<GIOCondition>(G_IO_OUT | G_IO_ERR | G_IO_HUP),
                                              onWritable, this);
                return;
            }
            outputLost_ = true;
            output_.clear();
            outputStart_ = 0;
            stop();
            return;
        }
        output_.clear();
        outputStart_ = 0;
    }

    static gboolean onWritable(gint, GIOCondition, gpointer data) {
        auto* engine = static_cast<Engine*>(data);
        engine->outWatch_ = 0;
        engine->flush();
        // flush() adds a new watch when it needs one.
        return G_SOURCE_REMOVE;
    }

    // At exit: the rest of the output, waiting on the socket for at most a second per step.
    void flushBlocking() {
        while (!outputLost_ && outputStart_ < output_.size()) {
            pollfd p{options_.outFd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0 || (p.revents & (POLLERR | POLLHUP))) break;
            const ssize_t n = write(options_.outFd, output_.data() + outputStart_, output_.size() - outputStart_);
            if (n > 0) outputStart_ += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        }
    }

    static gboolean onSignal(gpointer data) {
        static_cast<Engine*>(data)->stop();
        return G_SOURCE_CONTINUE;
    }

    void stop() {
        stopping_ = true;
        if (loop_) g_main_loop_quit(loop_);
    }

    EngineOptions options_;
    GMainLoop* loop_ = nullptr;
    WebKitWebContext* context_ = nullptr;
    std::unique_ptr<Router> router_;
    guint inWatch_ = 0;
    guint outWatch_ = 0;
    LineSplitter input_;
    std::string output_;
    std::size_t outputStart_ = 0;
    bool outputLost_ = false;
    bool stopping_ = false;
    std::map<std::int64_t, std::unique_ptr<View>> views_;
    std::set<PendingCall*> calls_;
    std::int64_t navigations_ = 0;
};

}  // namespace

int runEngine(const EngineOptions& options) {
    Engine engine(options);
    return engine.run();
}

void writeFatal(int fd, const std::string& message) {
    Event event;
    event.kind = EventKind::Fatal;
    event.message = message;
    auto line = encode(event);
    if (!line) return;
    std::size_t done = 0;
    while (done < line->size()) {
        const ssize_t n = write(fd, line->data() + done, line->size() - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n < 0 && errno == EINTR) continue;
        else break;
    }
}

}  // namespace qm::webkit::helper
