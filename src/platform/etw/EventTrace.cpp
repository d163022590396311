#include "platform/etw/EventTrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/base/LastError.h"
#include "platform/registry/Registry.h"
#include "platform/fs/StateFolders.h"
#include "platform/base/WideString.h"

namespace {

// The handle a provider receives carries the session id in its low 16 bits,
// the level above it and the enable flags in the high half, so that the
// GetTraceEnable* readers need no table.
constexpr TRACEHANDLE kSessionIdMask = 0xFFFF;
constexpr std::size_t kMaxEventSize = 0x10000;
constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;
constexpr LPCWSTR kGlobalLoggerKey = u"SYSTEM\\CurrentControlSet\\Control\\Wmi\\GlobalLogger";

USHORT SessionId(TRACEHANDLE handle) { return static_cast<USHORT>(handle & kSessionIdMask); }

TRACEHANDLE MakeLoggerHandle(USHORT id, ULONG flags, UCHAR level) {
  return id | (static_cast<TRACEHANDLE>(level) << 16) | (static_cast<TRACEHANDLE>(flags) << 32);
}

using Sink = std::function<void(const TRACE_RECORD&)>;

struct Session {
  Sink sink;
  ULONG64 sequence = 0;
  std::string file;  // for a file logger, its path ("" = standard error)
};

struct Provider {
  WMIDPREQUEST callback;
  PVOID context;
  GUID guid;
  USHORT enabledBy = 0;   // session that enabled it last
  USHORT ownSession = 0;  // the NPSIGIL_TRACE logger made for it
};

struct Enablement {
  GUID guid;
  USHORT session;
  ULONG flags;
  UCHAR level;
};

struct Tables {
  // Held across enable, disable and registration, callbacks included, so a
  // provider never sees those requests out of order.
  std::mutex control;
  // Sessions and providers; also held while a sink runs, which keeps records
  // of one session in sequence order.
  std::mutex table;
  std::map<USHORT, Session> sessions;
  std::map<TRACEHANDLE, Provider> providers;
  std::vector<Enablement> enablements;
  USHORT nextSession = 1;
  TRACEHANDLE nextRegistration = 1;
  USHORT globalSession = 0;
};

// Never destroyed: a logger may still be written to while the process exits.
Tables& State() {
  static Tables* tables = new Tables;
  return *tables;
}

// Caller holds the table lock. 0 when every id is taken.
USHORT AddSession(Tables& t, Sink sink, std::string file) {
  for (unsigned tries = 0; tries < kSessionIdMask; ++tries) {
    const USHORT id = t.nextSession;
    t.nextSession = static_cast<USHORT>(id == kSessionIdMask ? 1 : id + 1);
    if (id != 0 && !t.sessions.contains(id)) {
      t.sessions.emplace(id, Session{std::move(sink), 0, std::move(file)});
      return id;
    }
  }
  return 0;
}

// ---- file loggers -------------------------------------------------------------

class FileLogger {
 public:
  static std::shared_ptr<FileLogger> Open(const std::string& path) {
    if (path.empty()) return std::make_shared<FileLogger>(STDERR_FILENO, false);
    // A link planted where the trace file goes must not send our lines (or
    // a truncating open) elsewhere, and a FIFO must not block the browser.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    // A file someone else left readable to others is narrowed to its owner.
    if ((st.st_mode & 077) != 0) ::fchmod(fd, 0600);
    return std::make_shared<FileLogger>(fd, true);
  }
  FileLogger(int fd, bool owned) : m_fd(fd), m_owned(owned) {}
  ~FileLogger() {
    if (m_owned) ::close(m_fd);
  }
  FileLogger(const FileLogger&) = delete;
  FileLogger& operator=(const FileLogger&) = delete;

  // One write per line, so lines of concurrent writers never interleave.
  void Write(const TRACE_RECORD& record) const {
    std::string line = FormatTraceRecordLine(record);
    line += '\n';
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
      const ssize_t n = ::write(m_fd, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }

 private:
  int m_fd;
  bool m_owned;
};

// Caller holds the table lock. 0 when the file cannot be opened.
USHORT AddFileSession(Tables& t, const std::string& path) {
  auto logger = FileLogger::Open(path);
  if (!logger) return 0;
  return AddSession(
      t, [logger](const TRACE_RECORD& r) { logger->Write(r); }, path);
}

// ---- NPSIGIL_TRACE ------------------------------------------------------------

struct EnvConfig {
  ULONG flags = 0xFFFFFFFFu;
  UCHAR level = 5;
  std::string file;
};

template <typename T>
bool ParseNumber(std::string_view text, T& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::optional<EnvConfig> ReadEnvConfig() {
  const char* value = std::getenv("NPSIGIL_TRACE");
  if (!value || !*value) return std::nullopt;
  EnvConfig config;
  std::string_view rest(value);
  while (!rest.empty()) {
    const std::size_t eq = rest.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = rest.substr(0, eq);
    rest.remove_prefix(eq + 1);
    if (key == "file") {  // a path may hold commas
      config.file = std::string(rest);
      break;
    }
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    unsigned level = 0;
    if (key == "flags") {
      if (!ParseNumber(item, config.flags)) return std::nullopt;
    } else if (key == "level") {
      if (!ParseNumber(item, level) || level > 0xFF) return std::nullopt;
      config.level = static_cast<UCHAR>(level);
    } else {
      return std::nullopt;
    }
  }
  return config;
}

// ---- control requests ---------------------------------------------------------

struct Request {
  WMIDPREQUEST callback;
  PVOID context;
  GUID guid;
  TRACEHANDLE logger;  // 0 = disable
};

void Deliver(const Request& r) {
  WNODE_HEADER wnode{};
  wnode.BufferSize = sizeof wnode;
  wnode.HistoricalContext = r.logger;
  wnode.Guid = r.guid;
  wnode.Flags = WNODE_FLAG_TRACED_GUID;
  ULONG size = sizeof wnode;
  r.callback(r.logger ? WMI_ENABLE_EVENTS : WMI_DISABLE_EVENTS, r.context, &size, &wnode);
}

// Caller holds the table lock. Providers the session enabled get disabled.
void DropSession(Tables& t, USHORT id, std::vector<Request>& requests) {
  t.sessions.erase(id);
  std::erase_if(t.enablements, [id](const Enablement& e) { return e.session == id; });
  for (auto& [handle, p] : t.providers) {
    if (p.enabledBy == id) {
      p.enabledBy = 0;
      requests.push_back({p.callback, p.context, p.guid, 0});
    }
    if (p.ownSession == id) p.ownSession = 0;
  }
  if (t.globalSession == id) t.globalSession = 0;
}

// ---- records --------------------------------------------------------------------

ULONG Send(TRACEHANDLE logger, TRACE_RECORD&& record) {
  Tables& t = State();
  std::lock_guard lock(t.table);
  auto it = t.sessions.find(SessionId(logger));
  if (it == t.sessions.end()) return ERROR_INVALID_HANDLE;
  record.Sequence = ++it->second.sequence;
  record.TimeStamp = std::chrono::system_clock::now();
  it->second.sink(record);
  return ERROR_SUCCESS;
}

bool SessionExists(TRACEHANDLE logger) {
  Tables& t = State();
  std::lock_guard lock(t.table);
  return t.sessions.contains(SessionId(logger));
}

}  // namespace

ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext,
                          const GUID* ControlGuid, ULONG /*GuidCount*/, void* /*TraceGuidReg*/,
                          LPCWSTR /*MofImagePath*/, LPCWSTR /*MofResourceName*/,
                          TRACEHANDLE* RegistrationHandle) {
  if (!RequestAddress || !ControlGuid || !RegistrationHandle) return ERROR_INVALID_PARAMETER;
  Tables& t = State();
  std::lock_guard control(t.control);
  std::optional<Request> request;
  {
    std::lock_guard lock(t.table);
    const TRACEHANDLE handle = t.nextRegistration++;
    Provider& p = t.providers[handle];
    p = Provider{RequestAddress, RequestContext, *ControlGuid};
    *RegistrationHandle = handle;
    // A session that asked for this provider earlier wins over NPSIGIL_TRACE.
    for (auto it = t.enablements.rbegin(); it != t.enablements.rend(); ++it) {
      if (it->guid == *ControlGuid) {
        p.enabledBy = it->session;
        request = Request{p.callback, p.context, p.guid,
                          MakeLoggerHandle(it->session, it->flags, it->level)};
        break;
      }
    }
    if (!request) {
      if (const auto config = ReadEnvConfig()) {
        if (const USHORT id = AddFileSession(t, config->file)) {
          p.enabledBy = p.ownSession = id;
          request = Request{p.callback, p.context, p.guid,
                            MakeLoggerHandle(id, config->flags, config->level)};
        }
      }
    }
  }
  if (request) Deliver(*request);
  return ERROR_SUCCESS;
}

ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) {
  Tables& t = State();
  std::lock_guard control(t.control);
  std::lock_guard lock(t.table);
  auto it = t.providers.find(RegistrationHandle);
  if (it == t.providers.end()) return ERROR_INVALID_HANDLE;
  const USHORT own = it->second.ownSession;
  t.providers.erase(it);
  if (own != 0) {
    std::vector<Request> ignored;  // nobody else was enabled by it
    DropSession(t, own, ignored);
  }
  return ERROR_SUCCESS;
}

TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer) {
  if (!Buffer) return 0;
  return static_cast<const WNODE_HEADER*>(Buffer)->HistoricalContext;
}

ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle) { return static_cast<ULONG>(TraceHandle >> 32); }

UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle) {
  return static_cast<UCHAR>((TraceHandle >> 16) & 0xFF);
}

ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, const GUID* MessageGuid,
                   UINT MessageNumber, ...) {
  va_list args;
  va_start(args, MessageNumber);
  const ULONG result = TraceMessageVa(LoggerHandle, MessageFlags, MessageGuid,
                                      static_cast<USHORT>(MessageNumber), args);
  va_end(args);
  return result;
}

ULONG TraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, const GUID* MessageGuid,
                     USHORT MessageNumber, va_list MessageArgList) {
  if (!SessionExists(LoggerHandle)) return ERROR_INVALID_HANDLE;
  TRACE_RECORD record;
  record.Guid = MessageGuid ? *MessageGuid : GUID{};
  record.MessageNumber = MessageNumber;
  record.MessageFlags = MessageFlags;
  std::size_t total = 0;
  while (const void* data = va_arg(MessageArgList, const void*)) {
    const std::size_t length = va_arg(MessageArgList, std::size_t);
    if (length > TRACE_MESSAGE_MAXIMUM_SIZE - total) return ERROR_INVALID_PARAMETER;
    total += length;
    record.Arguments.emplace_back(static_cast<const char*>(data), length);
  }
  return Send(LoggerHandle, std::move(record));
}

ULONG TraceEvent(TRACEHANDLE LoggerHandle, EVENT_TRACE_HEADER* EventTrace) {
  if (!EventTrace || EventTrace->Size < sizeof(EVENT_TRACE_HEADER)) return ERROR_INVALID_PARAMETER;
  if (!SessionExists(LoggerHandle)) return ERROR_INVALID_HANDLE;
  TRACE_RECORD record;
  record.IsEvent = true;
  record.EventType = EventTrace->Class.Type;
  if (!(EventTrace->Flags & WNODE_FLAG_USE_GUID_PTR))
    record.Guid = EventTrace->Guid;
  else if (EventTrace->GuidPtr)
    record.Guid = *reinterpret_cast<const GUID*>(static_cast<std::uintptr_t>(EventTrace->GuidPtr));
  const std::size_t extra = EventTrace->Size - sizeof(EVENT_TRACE_HEADER);
  const auto* after = reinterpret_cast<const char*>(EventTrace + 1);
  if (EventTrace->Flags & WNODE_FLAG_USE_MOF_PTR) {
    if (extra % sizeof(MOF_FIELD) != 0 || extra / sizeof(MOF_FIELD) > MAX_MOF_FIELDS)
      return ERROR_INVALID_PARAMETER;
    const auto* fields = reinterpret_cast<const MOF_FIELD*>(after);
    std::size_t total = 0;
    for (std::size_t i = 0; i < extra / sizeof(MOF_FIELD); ++i) {
      const auto* data =
          reinterpret_cast<const char*>(static_cast<std::uintptr_t>(fields[i].DataPtr));
      if ((!data && fields[i].Length) || fields[i].Length > kMaxEventSize - total)
        return ERROR_INVALID_PARAMETER;
      total += fields[i].Length;
      record.Arguments.emplace_back(data ? data : "", fields[i].Length);
    }
  } else if (extra > 0) {
    record.Arguments.emplace_back(after, extra);
  }
  return Send(LoggerHandle, std::move(record));
}

ULONG ControlTraceW(TRACEHANDLE SessionHandle, LPCWSTR SessionName,
                    EVENT_TRACE_PROPERTIES* Properties, ULONG ControlCode) {
  if (ControlCode != EVENT_TRACE_CONTROL_QUERY || !Properties ||
      Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES))
    return ERROR_INVALID_PARAMETER;
  Tables& t = State();
  if (SessionHandle != 0) {
    std::lock_guard lock(t.table);
    if (!t.sessions.contains(SessionId(SessionHandle))) return ERROR_WMI_INSTANCE_NOT_FOUND;
    Properties->Wnode.HistoricalContext = SessionId(SessionHandle);
    return ERROR_SUCCESS;
  }
  if (!SessionName || _wcsicmp(SessionName, GLOBAL_LOGGER_NAME) != 0)
    return ERROR_WMI_INSTANCE_NOT_FOUND;

  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGlobalLoggerKey, 0, KEY_READ, &raw) != ERROR_SUCCESS)
    return ERROR_WMI_INSTANCE_NOT_FOUND;
  const UniqueHKEY key(raw);
  DWORD start = 0, type = 0, size = sizeof start;
  if (RegQueryValueExW(key.get(), u"Start", nullptr, &type, reinterpret_cast<BYTE*>(&start),
                       &size) != ERROR_SUCCESS ||
      type != REG_DWORD || start != 1)
    return ERROR_WMI_INSTANCE_NOT_FOUND;
  std::string file = (MachineStateRoot() / "GlobalLogger.log").string();
  WCHAR name[1024] = {};
  size = sizeof name - sizeof(WCHAR);  // keeps a terminator
  if (RegQueryValueExW(key.get(), u"FileName", nullptr, &type, reinterpret_cast<BYTE*>(name),
                       &size) == ERROR_SUCCESS &&
      type == REG_SZ && name[0] != 0)
    file = ToUtf8(name);

  std::lock_guard lock(t.table);
  auto it = t.sessions.find(t.globalSession);
  if (t.globalSession == 0 || it == t.sessions.end() || it->second.file != file) {
    const USHORT id = AddFileSession(t, file);
    if (id == 0) return Win32ErrorFromErrno(errno);
    if (t.globalSession != 0) t.sessions.erase(t.globalSession);  // its file was renamed
    t.globalSession = id;
  }
  Properties->Wnode.HistoricalContext = t.globalSession;
  return ERROR_SUCCESS;
}

HMODULE GetModuleHandleW(LPCWSTR lpModuleName) {
  static char advapi32;
  if (lpModuleName &&
      (_wcsicmp(lpModuleName, u"advapi32") == 0 || _wcsicmp(lpModuleName, u"advapi32.dll") == 0))
    return reinterpret_cast<HMODULE>(&advapi32);
  SetLastError(kErrorModNotFound);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule && hModule == GetModuleHandleW(u"advapi32") && lpProcName) {
    const std::string_view name(lpProcName);
    if (name == "TraceMessage") return reinterpret_cast<FARPROC>(&TraceMessage);
    if (name == "TraceMessageVa") return reinterpret_cast<FARPROC>(&TraceMessageVa);
  }
  SetLastError(kErrorProcNotFound);
  return nullptr;
}

ULONG EnableTrace(BOOL Enable, ULONG EnableFlag, UCHAR EnableLevel, const GUID* ControlGuid,
                  TRACEHANDLE SessionHandle) {
  if (!ControlGuid) return ERROR_INVALID_PARAMETER;
  Tables& t = State();
  std::lock_guard control(t.control);
  std::vector<Request> requests;
  {
    std::lock_guard lock(t.table);
    const USHORT id = SessionId(SessionHandle);
    if (SessionHandle > kSessionIdMask || !t.sessions.contains(id)) return ERROR_INVALID_HANDLE;
    const GUID guid = *ControlGuid;
    std::erase_if(t.enablements,
                  [&](const Enablement& e) { return e.session == id && e.guid == guid; });
    if (Enable) t.enablements.push_back({guid, id, EnableFlag, EnableLevel});
    const TRACEHANDLE logger = Enable ? MakeLoggerHandle(id, EnableFlag, EnableLevel) : 0;
    for (auto& [handle, p] : t.providers) {
      if (!(p.guid == guid) || (!Enable && p.enabledBy != id)) continue;
      p.enabledBy = Enable ? id : 0;
      requests.push_back({p.callback, p.context, p.guid, logger});
    }
  }
  for (const Request& r : requests) Deliver(r);
  return ERROR_SUCCESS;
}

TRACEHANDLE StartTraceSession(std::function<void(const TRACE_RECORD&)> sink) {
  if (!sink) return 0;
  Tables& t = State();
  std::lock_guard lock(t.table);
  return AddSession(t, std::move(sink), std::string());
}

ULONG StopTraceSession(TRACEHANDLE SessionHandle) {
  Tables& t = State();
  std::lock_guard control(t.control);
  std::vector<Request> requests;
  {
    std::lock_guard lock(t.table);
    const USHORT id = SessionId(SessionHandle);
    if (SessionHandle > kSessionIdMask || !t.sessions.contains(id)) return ERROR_INVALID_HANDLE;
    DropSession(t, id, requests);
  }
  for (const Request& r : requests) Deliver(r);
  return ERROR_SUCCESS;
}
