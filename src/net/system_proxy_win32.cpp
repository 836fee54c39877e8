#include "net/system_proxy.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <utility>

#include "runtime/system_library.h"
#include "runtime/thread.h"
#include "runtime/utf.h"
#include "runtime/win_handle.h"

namespace quorvel {

namespace {

struct WinHttpFunctions {
  decltype(&::WinHttpGetIEProxyConfigForCurrentUser) get_ie_config = nullptr;
  decltype(&::WinHttpGetDefaultProxyConfiguration) get_default_config = nullptr;
  decltype(&::WinHttpOpen) open = nullptr;
  decltype(&::WinHttpSetTimeouts) set_timeouts = nullptr;
  decltype(&::WinHttpGetProxyForUrl) get_proxy_for_url = nullptr;
  decltype(&::WinHttpCloseHandle) close_handle = nullptr;
};

// Null when the system has no winhttp.dll or lacks one of the exports.
const WinHttpFunctions* winhttp() {
  static const WinHttpFunctions* loaded = []() -> const WinHttpFunctions* {
    auto module = load_system_library(L"winhttp.dll");
    if (!module) return nullptr;
    static WinHttpFunctions f;
    const HMODULE m = *module;
    if (!find_library_function(m, "WinHttpGetIEProxyConfigForCurrentUser", f.get_ie_config) ||
        !find_library_function(m, "WinHttpGetDefaultProxyConfiguration", f.get_default_config) ||
        !find_library_function(m, "WinHttpOpen", f.open) ||
        !find_library_function(m, "WinHttpSetTimeouts", f.set_timeouts) ||
        !find_library_function(m, "WinHttpGetProxyForUrl", f.get_proxy_for_url) ||
        !find_library_function(m, "WinHttpCloseHandle", f.close_handle)) {
      return nullptr;
    }
    return &f;
  }();
  return loaded;
}

// A string WinHTTP allocated for its caller.
class GlobalText {
 public:
  GlobalText() = default;
  GlobalText(const GlobalText&) = delete;
  GlobalText& operator=(const GlobalText&) = delete;
  ~GlobalText() {
    if (text_) GlobalFree(text_);
  }
  LPWSTR* put() { return &text_; }
  std::string utf8() const {
    return text_ ? utf16_to_utf8(text_).value_or(std::string()) : std::string();
  }

 private:
  LPWSTR text_ = nullptr;
};

class WinHttpSession {
 public:
  explicit WinHttpSession(HINTERNET handle) : handle_(handle) {}
  WinHttpSession(const WinHttpSession&) = delete;
  WinHttpSession& operator=(const WinHttpSession&) = delete;
  ~WinHttpSession() {
    if (handle_) winhttp()->close_handle(handle_);
  }
  HINTERNET get() const { return handle_; }

 private:
  HINTERNET handle_;
};

// What a script or WPAD said: a proxy list, direct, or nothing (it could not be run).
struct ScriptAnswer {
  bool answered = false;
  std::string proxies;  // empty: direct
  std::string bypass;
};

// One question to a script or WPAD, shared by the asking thread and the thread that runs it, so
// that the asker can stop waiting and the question still has its data.
struct ScriptQuestion {
  std::wstring url;
  std::wstring script_url;  // empty: WPAD
  UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScriptAnswer answer;
};

void run_script(ScriptQuestion& question) {
  const WinHttpFunctions& f = *winhttp();
  WinHttpSession session(f.open(L"QuorvelSetup", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (session.get() == nullptr) return;
  (void)f.set_timeouts(session.get(), 2000, 2000, 2000, 3000);  // the script's download
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (question.script_url.empty()) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = question.script_url.c_str();
  }
  options.fAutoLogonIfChallenged = TRUE;
  WINHTTP_PROXY_INFO info{};
  GlobalText proxy, bypass;
  if (!f.get_proxy_for_url(session.get(), question.url.c_str(), &options, &info)) return;
  *proxy.put() = info.lpszProxy;
  *bypass.put() = info.lpszProxyBypass;
  question.answer.answered = true;
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
    question.answer.proxies = proxy.utf8();
    question.answer.bypass = bypass.utf8();
  }
}

// Runs the question on a thread of its own and waits for it at most PROXY_SCRIPT_WAIT_MS.
ScriptAnswer ask_script(std::wstring url, std::wstring script_url) {
  auto question = std::make_shared<ScriptQuestion>();
  question->url = std::move(url);
  question->script_url = std::move(script_url);
  if (!question->done.valid()) return {};
  auto started = detail::spawn_thread("proxy-script", [question] {
    run_script(*question);
    SetEvent(question->done.get());
  });
  if (!started) return {};
  if (WaitForSingleObject(question->done.get(), PROXY_SCRIPT_WAIT_MS) != WAIT_OBJECT_0) return {};
  return question->answer;
}

// The proxies of a WinHTTP proxy string that the bypass list leaves for this host.
std::vector<ProxyEndpoint> named_proxies(const std::string& list, const std::string& bypass,
                                         const std::string& host, uint16_t port) {
  std::vector<ProxyEndpoint> proxies;
  if (proxy_bypassed(bypass, host, port)) return proxies;
  for (ProxyWay& way : parse_proxy_list(list)) {
    // "DIRECT" is the way that has just failed.
    if (way) proxies.push_back(std::move(*way));
  }
  return proxies;
}

std::vector<ProxyEndpoint> find_blocking(const std::string& host, uint16_t port) {
  const WinHttpFunctions* f = winhttp();
  if (f == nullptr) return {};
  const std::wstring url =
      utf8_to_utf16("https://" + host + ":" + std::to_string(port) + "/").value_or(L"");
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
  if (f->get_ie_config(&user)) {
    GlobalText script, proxy, bypass;
    *script.put() = user.lpszAutoConfigUrl;
    *proxy.put() = user.lpszProxy;
    *bypass.put() = user.lpszProxyBypass;
    // A script named by the user comes before automatic detection, as in Windows' own order.
    if (user.lpszAutoConfigUrl != nullptr) {
      const ScriptAnswer answer = ask_script(url, user.lpszAutoConfigUrl);
      if (answer.answered) return named_proxies(answer.proxies, answer.bypass, host, port);
    }
    if (user.fAutoDetect) {
      const ScriptAnswer answer = ask_script(url, {});
      if (answer.answered) return named_proxies(answer.proxies, answer.bypass, host, port);
    }
    if (user.lpszProxy != nullptr) return named_proxies(proxy.utf8(), bypass.utf8(), host, port);
  }
  WINHTTP_PROXY_INFO machine{};
  if (!f->get_default_config(&machine)) return {};
  GlobalText proxy, bypass;
  *proxy.put() = machine.lpszProxy;
  *bypass.put() = machine.lpszProxyBypass;
  if (machine.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return {};
  return named_proxies(proxy.utf8(), bypass.utf8(), host, port);
}

}  // namespace

Task<std::vector<ProxyEndpoint>> find_system_proxies(std::string host, uint16_t port) {
  co_return co_await run_blocking([&] { return find_blocking(host, port); });
}

}  // namespace quorvel
