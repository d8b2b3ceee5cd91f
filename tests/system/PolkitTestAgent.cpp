// An authentication agent for the system tests, on polkit's agent library as a desktop's agent is
// built: registered for one process, it shows each request's message on its terminal, asks the
// authentication session's questions there and answers each with the line typed, and cancels the
// request at Ctrl-C the way a dialog's Cancel button does, so polkitd takes it as dismissed rather
// than refused.
//
//   polkit_test_agent PID NOTIFY_FD
//
// NOTIFY_FD is closed once polkitd has the agent. What the terminal shows:
//
//   ==== AUTHENTICATING FOR <action id> ====
//   <message>
//   Authenticating as: <user>
//   Password:                                  (echo off until a line is typed)
//   ==== AUTHENTICATION COMPLETE ====          (or FAILED, or CANCELED)
#define POLKIT_AGENT_I_KNOW_API_IS_SUBJECT_TO_CHANGE
#include <glib-unix.h>
#include <polkitagent/polkitagent.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The one request being answered; polkitd sends another for the same subject only after it.
struct Request {
  GTask* task = nullptr;
  PolkitAgentSession* session = nullptr;
  GCancellable* cancellable = nullptr;
  gulong cancelHandler = 0;
  bool awaitingAnswer = false;
  bool dismissed = false;  // by the user, not by polkitd
};

Request* current = nullptr;
std::string typed;

void show(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

void setEcho(bool on) {
  termios settings{};
  if (::tcgetattr(STDIN_FILENO, &settings) != 0) return;
  if (on) {
    settings.c_lflag |= ECHO;
  } else {
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  ::tcsetattr(STDIN_FILENO, TCSANOW, &settings);
}

void onRequest(PolkitAgentSession*, const gchar* prompt, gboolean echoOn, gpointer) {
  if (current == nullptr) return;
  typed.clear();  // what was typed before the question is not its answer
  if (!echoOn) setEcho(false);
  show(prompt);
  current->awaitingAnswer = true;
}

void onMessage(PolkitAgentSession*, const gchar* text, gpointer) { show(std::string(text) + "\n"); }

void onCompleted(PolkitAgentSession*, gboolean gainedAuthorization, gpointer) {
  Request* request = current;
  if (request == nullptr) return;
  current = nullptr;
  setEcho(true);
  if (request->cancelHandler != 0) g_cancellable_disconnect(request->cancellable, request->cancelHandler);
  if (request->dismissed) {
    show("\n==== AUTHENTICATION CANCELED ====\n");
    // What polkitd takes as dismissed (pkexec then answers 126), as a desktop dialog's Cancel answers.
    g_task_return_new_error(request->task, POLKIT_ERROR, POLKIT_ERROR_CANCELLED,
                            "Authentication dialog was dismissed by the user");
  } else if (g_cancellable_is_cancelled(request->cancellable)) {
    show("\n==== AUTHENTICATION WITHDRAWN ====\n");
    g_task_return_new_error(request->task, G_IO_ERROR, G_IO_ERROR_CANCELLED, "The request was withdrawn");
  } else {
    // polkitd knows from the session itself whether it succeeded.
    show(gainedAuthorization ? "==== AUTHENTICATION COMPLETE ====\n" : "==== AUTHENTICATION FAILED ====\n");
    g_task_return_boolean(request->task, TRUE);
  }
  g_object_unref(request->task);
  g_object_unref(request->session);
  if (request->cancellable != nullptr) g_object_unref(request->cancellable);
  delete request;
}

gboolean cancelCurrent(gpointer) {
  if (current != nullptr) polkit_agent_session_cancel(current->session);
  return G_SOURCE_REMOVE;
}

// polkitd withdrew the request (its caller went away); run from the main loop, not from inside
// g_cancellable_connect, which calls this at once when the request came already cancelled.
void onWithdrawn(GCancellable*, gpointer) { g_idle_add(cancelCurrent, nullptr); }

// The user's Cancel.
void dismiss() {
  if (current == nullptr || current->dismissed) return;
  current->dismissed = true;
  polkit_agent_session_cancel(current->session);
}

// Ctrl-C comes as a key, not as the terminal's SIGINT: that would reach the session's authentication
// helper too (it runs in the agent's process group), and its death would end the request as failed
// before the agent could cancel it. Lines are put together here, the terminal handing over each key.
void takeKeysOneByOne() {
  termios settings{};
  if (::tcgetattr(STDIN_FILENO, &settings) != 0) return;
  settings.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &settings);
}

gboolean onTyped(gint fd, GIOCondition condition, gpointer loop) {
  char buffer[1024];
  const ssize_t n = (condition & G_IO_IN) != 0 ? ::read(fd, buffer, sizeof buffer) : 0;
  if (n <= 0) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] == '\x03') {
      typed.clear();
      dismiss();
    } else {
      typed.push_back(buffer[i]);
    }
  }
  for (size_t end; (end = typed.find('\n')) != std::string::npos;) {
    std::string line = typed.substr(0, end);
    typed.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (current == nullptr || !current->awaitingAnswer) continue;
    current->awaitingAnswer = false;
    setEcho(true);
    show("\n");
    polkit_agent_session_response(current->session, line.c_str());
  }
  return G_SOURCE_CONTINUE;
}

PolkitIdentity* chooseIdentity(GList* identities) {
  // The agent's own user when polkit accepts it (an administrator rule names it), else the first.
  for (GList* entry = identities; entry != nullptr; entry = entry->next) {
    auto* identity = static_cast<PolkitIdentity*>(entry->data);
    if (POLKIT_IS_UNIX_USER(identity) &&
        static_cast<uid_t>(polkit_unix_user_get_uid(POLKIT_UNIX_USER(identity))) == ::getuid()) {
      return identity;
    }
  }
  return identities != nullptr ? static_cast<PolkitIdentity*>(identities->data) : nullptr;
}

std::string nameOf(PolkitIdentity* identity) {
  if (POLKIT_IS_UNIX_USER(identity)) {
    const passwd* entry = ::getpwuid(static_cast<uid_t>(polkit_unix_user_get_uid(POLKIT_UNIX_USER(identity))));
    if (entry != nullptr) return entry->pw_name;
  }
  gchar* text = polkit_identity_to_string(identity);
  std::string name = text;
  g_free(text);
  return name;
}

}  // namespace

extern "C" {

struct TestAgentListener {
  PolkitAgentListener parent;
};
struct TestAgentListenerClass {
  PolkitAgentListenerClass parentClass;
};

G_DEFINE_TYPE(TestAgentListener, test_agent_listener, POLKIT_AGENT_TYPE_LISTENER)

static void initiateAuthentication(PolkitAgentListener* listener, const gchar* actionId, const gchar* message,
                                   const gchar*, PolkitDetails*, const gchar* cookie, GList* identities,
                                   GCancellable* cancellable, GAsyncReadyCallback callback, gpointer userData) {
  GTask* task = g_task_new(listener, nullptr, callback, userData);
  PolkitIdentity* identity = chooseIdentity(identities);
  if (current != nullptr || identity == nullptr) {
    g_task_return_new_error(task, POLKIT_ERROR, POLKIT_ERROR_FAILED,
                            identity == nullptr ? "no identity to authenticate as" : "another request is open");
    g_object_unref(task);
    return;
  }
  show(std::string("==== AUTHENTICATING FOR ") + actionId + " ====\n" + message +
       "\nAuthenticating as: " + nameOf(identity) + "\n");
  current = new Request;
  current->task = task;
  current->session = polkit_agent_session_new(identity, cookie);
  g_signal_connect(current->session, "request", G_CALLBACK(onRequest), nullptr);
  g_signal_connect(current->session, "show-error", G_CALLBACK(onMessage), nullptr);
  g_signal_connect(current->session, "show-info", G_CALLBACK(onMessage), nullptr);
  g_signal_connect(current->session, "completed", G_CALLBACK(onCompleted), nullptr);
  if (cancellable != nullptr) {
    current->cancellable = G_CANCELLABLE(g_object_ref(cancellable));
    current->cancelHandler = g_cancellable_connect(cancellable, G_CALLBACK(onWithdrawn), nullptr, nullptr);
  }
  polkit_agent_session_initiate(current->session);
}

static gboolean initiateAuthenticationFinish(PolkitAgentListener*, GAsyncResult* result, GError** error) {
  return g_task_propagate_boolean(G_TASK(result), error);
}

static void test_agent_listener_init(TestAgentListener*) {}

static void test_agent_listener_class_init(TestAgentListenerClass* type) {
  type->parentClass.initiate_authentication = initiateAuthentication;
  type->parentClass.initiate_authentication_finish = initiateAuthenticationFinish;
}

}  // extern "C"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PID NOTIFY_FD\n", argv[0]);
    return 2;
  }
  const int pid = std::atoi(argv[1]);
  const int notifyFd = std::atoi(argv[2]);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  auto* listener = static_cast<PolkitAgentListener*>(g_object_new(test_agent_listener_get_type(), nullptr));
  PolkitSubject* subject = polkit_unix_process_new_for_owner(pid, 0, static_cast<gint>(::getuid()));
  GError* error = nullptr;
  gpointer registration =
      polkit_agent_listener_register(listener, POLKIT_AGENT_REGISTER_FLAGS_NONE, subject, nullptr, nullptr, &error);
  if (registration == nullptr) {
    std::fprintf(stderr, "cannot register with polkitd: %s\n", error->message);
    return 1;
  }
  ::close(notifyFd);
  takeKeysOneByOne();
  g_unix_fd_add(STDIN_FILENO, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onTyped, loop);
  g_main_loop_run(loop);
  polkit_agent_listener_unregister(registration);
  return 0;
}
