// The cross-process transport of the IPC framework: makes a registered
// service reachable from other processes over a Unix domain socket, and lets
// a client process talk to it.
//
// Runtime folder and socket names
// -------------------------------
// A service registered as (name, instance) listens on the stream socket
// "<folder>/<name>.<instance>", e.g. "svx.imageserver.ImageServer.0". The
// folder is, in order of preference:
//   - $COMM_RUNTIME_DIR when set and not empty (used as given; created 0700
//     when missing, so an operator can prepare a group-shared 0770 folder),
//   - $XDG_RUNTIME_DIR/imageserver,
//   - /tmp/imageserver-<uid>.
// A default folder is created 0700, must be a directory owned by the user
// (not a link) and is tightened to 0700 when it is not.
//
// A client looks for the socket in the folder named by its caller or by
// $COMM_RUNTIME_DIR, used as given. Without one it tries, in order,
// $XDG_RUNTIME_DIR/imageserver (when XDG_RUNTIME_DIR is set), the system
// service's folder /run/imageserver, and /tmp/imageserver-<uid> (where a
// service of the user started without XDG_RUNTIME_DIR listens), and takes
// the first where a service accepts the connection. It connects only in a
// folder nobody else could have put a socket in: the user's own folders must
// be real directories of the user, writable by no one else; the system
// folder a real directory writable by its owner and group only, owned by
// the user, by root, or by an account that root gave it (as the packaged
// unit's 2770 folder of the service's user). A failed connect names every
// folder tried and why each failed (see ClientConnection::openService). Sockets are bound
// with umask 0177, so they are 0600; in a folder named by $COMM_RUNTIME_DIR
// that gives its group full access (0770, e.g. an operator's group-shared
// folder) they are bound with umask 0117, so they are 0660 and members of
// the folder's group can connect. A socket file left by a dead process
// (connect fails with ECONNREFUSED) is replaced; a live one makes the
// registration fail. Unregistration closes the listener and removes the
// socket file; the service's connections end as "Stop" says.
//
// Dispatch and sending
// --------------------
// A pool of two dispatch threads (epoll, edge-triggered) accepts connections
// and reads requests; each connection's requests are dispatched in order,
// one at a time, under a ServiceDirectory::Lease. Connections are read in
// turns of at most kReadTurnBytes: one that has more waits behind the
// others, so that a client that floods the service delays another by one
// turn at most. A client owed kMaxOwedAnswers answers is not read until the
// service has caught up with it (checked before each of its requests, so a
// request of many locators may take it past the bound once); while all
// clients together are owed kMaxOwedAnswersTotal, no client is read.
//
// A request is judged (an image request's locators validated) when it is
// dispatched. That is when it is read, except for a request held while its
// client is at its shared-memory limit (see "A client's shared memory" in
// transport/segment.h): it is dispatched, and judged, when the client
// releases memory or its grace time of kClientMemoryGraceMs ends.
//
// Replies are sent from the calling thread without blocking: a connection
// has a bounded outgoing queue (8 MiB of message bytes, 1 GiB of shared
// segments carried, 65536 messages), and the loop watches the socket for
// output only while the queue holds something; a client whose queue is full
// is disconnected. The bounds apply to what waits behind the message being
// written: an empty queue takes one message of any size, so a client that
// reads gets even an answer larger than them (a file of 1.5 GB, say). All
// descriptors are close-on-exec; sends use MSG_NOSIGNAL.
//
// A client may shut down its sending side (shutdown(SHUT_WR)) after its
// requests and read on: the end of its stream does not close the
// connection. The service closes it once every answer is written and none is
// owed any more (no job or subscription holds the client's reply endpoint),
// within kHalfClosedCheckMs; a full close or an error by the client closes it
// at once.
//
// When accept runs out of descriptors or memory, the clients already
// connected are served on, and the waiting ones are accepted once
// descriptors are free (retried every 100 ms). A level 3 trace says when
// such a stall begins and when it ends, with the number of failed tries.
//
// Stop
// ----
// Unregistering a service closes its listener at once: nobody new connects.
// A request read after it is not served (a level 3 trace, once per
// connection); the connection stays open, since the service may still be
// answering earlier requests (the job in hand). When the service's object is
// destroyed (ServiceTarget's destructor, after the worker has ended), each
// of its connections closes as soon as everything queued for it is written,
// or at once if the client has gone away. The destructor waits for that at
// most kStopDrainMs (5 s; Transport::setStopDrainTime changes it); then the
// connections still open are closed, and a level 3 trace says how many
// answers were dropped for how many clients. So a client that keeps reading
// receives every answer a job produced, and one that stops reading delays a
// stop by the drain time at most.
#ifndef PLATFORM_TRANSPORT_H_
#define PLATFORM_TRANSPORT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/comm.h"
#include "platform/kor.h"
#include "platform/tracing.h"

namespace comm {

// How long a stop waits for its clients to read the answers already queued
// for them (see "Stop").
constexpr uint32_t kStopDrainMs = 5000;
// How often a half-closed connection is checked for whether it is owed
// anything more.
constexpr uint32_t kHalfClosedCheckMs = 100;
// A client at its shared-memory limit whose requests are held waits at most
// this long for a release; then its held requests are dispatched (and
// their answers refused shared memory).
constexpr uint32_t kClientMemoryGraceMs = 30000;
// Requests held for a client at its limit, in bytes: beyond it, its socket is
// not read until it releases memory.
constexpr size_t kMaxHeldRequestBytes = 4u * 1024 * 1024;
// The answers a client may be owed for requests the service has taken (jobs
// waiting or running): at it, its socket is not read until the service has
// caught up, so that one client cannot fill the job queue before the others
// (see "Dispatch and sending").
constexpr uint32_t kMaxOwedAnswers = 1024;
// The answers all clients together may be owed: at it, no client is read
// until the service has caught up (a client waits then at most as long as
// the worker takes for these).
constexpr uint32_t kMaxOwedAnswersTotal = 16384;
// What one connection's turn of reading takes at most: a connection with
// more to read waits for its next turn behind the others.
constexpr size_t kReadTurnBytes = 256 * 1024;

// The environment variable that chooses the runtime folder.
extern const char* const kRuntimeDirVariable;  // "COMM_RUNTIME_DIR"

// The transport's tracing channel, "COMM_Transport".
tracing::Channel& transportChannel();

class Connection;
struct WireMessage;
class WireWriter;

// --- Service side ---------------------------------------------------------------

// The interface-specific half of one accepted connection: decodes requests
// and calls the service's slots; owns the client's reply endpoint.
class ServiceSession {
 public:
  virtual ~ServiceSession() = default;
  // Decodes |message| and calls the matching slot of |target|. Fails when
  // the message is malformed or its slot unknown (the connection closes).
  virtual Status dispatch(ServiceTarget* target, WireMessage& message) = 0;
  // The connection has closed (close the reply endpoint, so that the
  // service forgets the client's subscriptions). Called once, on any thread.
  virtual void onClosed() = 0;
  // True when nothing can be sent to the client unless it asks again: no
  // copy of its reply endpoint is held by pending work or a subscription.
  // Any thread.
  virtual bool idle() = 0;
  // How many answers the service owes the client for the requests it has
  // taken (jobs waiting or running); may count a few more. Any thread.
  virtual size_t owedAnswers() = 0;
  // True when the answers to a request for |slot| can take the client's
  // shared memory (see "A client's shared memory" in segment.h): only such
  // requests are held while the client is at its limit. Any thread.
  virtual bool answersTakeSharedMemory(uint32_t slot) const = 0;
};

// Makes sessions for the services of one name (the generated wire code of
// an interface provides it).
class InterfaceBinding {
 public:
  virtual ~InterfaceBinding() = default;
  // Null when memory is short (the connection is then refused).
  virtual ServiceSession* openSession(const std::shared_ptr<Connection>& connection) = 0;
};

// The process's transport: the ServiceDirectory listener that gives each
// registered service of a bound name a listening socket, and the dispatch
// pool. Thread-safe.
class Transport : public ServiceDirectory::Listener {
 public:
  static Transport& getInstance();

  // Binds |binding| to |serviceName|; services of unbound names stay
  // reachable in the process only. |binding| must live as long as the
  // process.
  void bindInterface(const char* serviceName, InterfaceBinding* binding);
  // Creates the event loop's descriptor now (the dispatch threads start
  // with the first listening service) and installs the transport as the
  // directory's listener. Idempotent. False when the loop cannot be made.
  bool activate();

  // Listens on the service's socket when its name is bound; false with the
  // reason in kor::ErrorStorage (the registration then fails).
  bool onServiceAdded(ServiceRegistrationRecord* record) override;
  // Stops listening; the service's connections stay open (see "Stop").
  void onServiceRemoved(ServiceRegistrationRecord* record) override;
  // Finishes the connections of |target|'s removed services; returns when
  // they have closed, at the latest after the stop's drain time.
  void onTargetDestroyed(ServiceTarget* target) override;
  // The stop's drain time (default kStopDrainMs); for hosts and tests.
  void setStopDrainTime(uint32_t milliseconds);
  // The answers all clients together may be owed (default
  // kMaxOwedAnswersTotal); for tests.
  void setMaxOwedAnswersTotal(uint32_t answers);
  // How long the requests of a client at its shared-memory limit are held
  // while it releases nothing (default kClientMemoryGraceMs); for tests.
  void setClientMemoryGraceTime(uint32_t milliseconds);

  // Open client connections (all services); for tests and diagnostics.
  size_t connectionCount();

  struct State;

 private:
  Transport();
  State* m_state;
};

// --- Runtime folder and client side -------------------------------------------------

// The runtime folder a service listens in, as described above; |override|
// (when not empty) wins.
std::string runtimeDirectory(const std::string& override = std::string());

// The folder of the system's service (the packaged unit's RuntimeDirectory).
extern const char* const kSystemRuntimeDir;  // "/run/imageserver"

// A folder a client looks for a service's socket in, and how far it is
// trusted before the client connects there.
struct RuntimeFolder {
  enum Kind {
    kChosen,  // named by the caller or $COMM_RUNTIME_DIR: used as given
    kUser,    // the user's own: a real directory of this user, writable by nobody else
    kSystem,  // the system service's: a real directory writable by no other
              // user than its owner, which is this user, root, or an account
              // that root gave it (its parent folder is root's, writable only
              // by root), e.g. /run/imageserver of the service's user, 2770
  };
  std::string path;
  Kind kind = kChosen;
};

// The folders a client tries, in this order: |override| alone when not
// empty; else $COMM_RUNTIME_DIR alone when set and not empty; else
// $XDG_RUNTIME_DIR/imageserver (when XDG_RUNTIME_DIR is set and not empty),
// then kSystemRuntimeDir, then /tmp/imageserver-<uid> (where a service
// started without XDG_RUNTIME_DIR listens). Empty only when memory is short.
std::vector<RuntimeFolder> clientRuntimeFolders(const std::string& override = std::string());
// "<folder>/<name>.<instance>".
std::string socketPath(const std::string& folder, const std::string& serviceName,
                       uint32_t instance);

// A client's connection with its own thread, which reads the replies and
// hands them to the message callback in order. Thread-safe.
class ClientConnection {
 public:
  struct Callbacks {
    // One complete message; a failure rejects it: the connection then
    // closes with its reason.
    std::function<Status(WireMessage&)> onMessage;
    // The connection closed, except through close()/the destructor.
    std::function<void(const std::string&)> onClosed;
  };

  // Connects to |path| and starts the thread; |connection| is set when it
  // succeeds. Without |ownThread| no thread is started: the owner runs
  // pump() on a thread of its own, one at a time, and the callbacks run there
  // (a synchronous client waiting for its answers saves a thread switch per
  // answer so).
  // The connect waits at most |connectTimeoutMs| for the service to take
  // the connection (its backlog may be full); negative: as long as it takes.
  static Status open(const std::string& path, Callbacks callbacks,
                     std::unique_ptr<ClientConnection>* connection, bool ownThread = true,
                     int connectTimeoutMs = -1);
  // As open(), at the socket of (|serviceName|, |instance|) in the first of
  // |folders| that is trusted (see RuntimeFolder) and where a service takes
  // the connection; |path| receives that socket's path. The failure names
  // every folder tried and why each failed: "no service at <socket> (no such
  // file), nor at <socket> (permission denied)".
  static Status openService(const std::vector<RuntimeFolder>& folders,
                            const std::string& serviceName, uint32_t instance, Callbacks callbacks,
                            std::unique_ptr<ClientConnection>* connection, std::string* path,
                            bool ownThread = true, int connectTimeoutMs = -1);
  // close() and join the thread. Never from one of the connection's own
  // callbacks (its thread still runs them): that is reported through
  // kor::GlobalErrorHandler::doAssert.
  ~ClientConnection();

  // Without an own thread: waits up to |timeoutMs| for the connection to be
  // readable (or writable while output is queued), writes and reads what it
  // can, and hands the messages to the callbacks. False once the connection
  // has closed (onClosed has run then, once).
  bool pump(int timeoutMs);

  // Queues |writer|'s message (see Connection::queue): kClosed, kLimit for a
  // full queue, kNoMemory.
  Status send(WireWriter& writer);
  // Runs |task| on the thread that runs the callbacks, before the messages
  // read after it (own thread: soon; otherwise in the next pump()). False
  // when the connection is closed or memory is short: it will not run.
  bool post(std::function<void()> task);
  bool isConnected() const;
  // Closes without onClosed; when called from another thread than the
  // connection's own, waits until its thread has stopped, so that no
  // callback runs afterwards.
  void close();

  struct State;

 private:
  explicit ClientConnection(State* state);
  State* m_state;
};

// --- Service manager ------------------------------------------------------------
// Socket activation: a service manager that made the listening socket itself
// hands it to the process it starts (LISTEN_PID names that process,
// LISTEN_FDS the number of descriptors from 3 on). A service registered at
// a socket path that one of them is bound to serves that socket instead of
// making one: the manager made its folder and file and keeps both when the
// service stops, so the transport neither checks the folder nor removes the
// file. Each handed socket is taken once.
//
// Status: a host that runs under a service manager (NOTIFY_SOCKET set) and
// sets COMM_NOTIFY_STATUS=1 before the first registration gets a status line
// sent to the manager while any service listens, when it changes and at most
// once per kStatusIntervalMs:
//   "<n> clients, <n> requests queued, <n> MiB shared memory in use,
//    <n> answers served"
// Readiness and reloading are the host's to report.

extern const char* const kStatusReportVariable;  // "COMM_NOTIFY_STATUS"
constexpr int kStatusIntervalMs = 2000;

// The handed-over listening socket bound to |path|, now this caller's (close
// on exec, non-blocking); -1 when there is none.
int takeHandedSocket(const std::string& path);
// Whether a socket bound to |path| was handed over and not taken yet.
bool isHandedSocket(const std::string& path);
// Starts the status reports with |compose| making the line, when the host
// asked for them; whether they run. Idempotent.
bool startStatusReports(std::function<std::string()> compose);
void stopStatusReports();

}  // namespace comm

#endif  // PLATFORM_TRANSPORT_H_
