#include "provisioning/browser_policies.h"

#include <fcntl.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/atomic_file.h"
#include "provisioning/json.h"
#include "provisioning/machine_config.h"

namespace velnaro {
namespace {

using rapidjson::Value;
using Allocator = rapidjson::Document::AllocatorType;
namespace fs = std::filesystem;

constexpr const char* kUsage =
    "Usage: velnaro-ds --write-browser-policies [--root DIR]\n"
    "  or:  velnaro-ds --remove-browser-policies [--root DIR]\n";

std::string Written(const Value& document) {
  rapidjson::StringBuffer out;
  rapidjson::PrettyWriter<rapidjson::StringBuffer> writer(out);
  writer.SetIndent(' ', 2);
  writer.SetFormatOptions(rapidjson::kFormatSingleLineArray);
  document.Accept(writer);
  return std::string(out.GetString(), out.GetSize()) + "\n";
}

// What Firefox compares: the host alone, without the port or an address's brackets.
std::string HostOf(const std::string& origin) {
  std::string host = origin.substr(origin.find("://") + 3);
  if (host.front() == '[') return host.substr(1, host.find(']') - 1);
  const size_t colon = host.rfind(':');
  return colon == std::string::npos ? host : host.substr(0, colon);
}

// The member `name` of `object`, added empty when missing; null when it is no object.
Value* ObjectMember(Value& object, const char* name, Allocator& a) {
  if (!object.HasMember(name)) {
    object.AddMember(Value(name, a), Value(rapidjson::kObjectType), a);
    return &(object.MemberEnd() - 1)->value;
  }
  Value& member = object[name];
  return member.IsObject() ? &member : nullptr;
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "velnaro-ds: %s\n", what.c_str());
  return 1;
}

// The whole file; empty when there is none.
std::string ReadText(const fs::path& path, int& error) {
  std::string text;
  error = 0;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) error = errno;
    return text;
  }
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  if (n < 0) error = errno;
  ::close(fd);
  return text;
}

// Folders made here get 0755 whatever the umask: every user's browser reads below them.
int MakeFolders(const fs::path& folder) {
  if (folder.empty() || ::access(folder.c_str(), F_OK) == 0) return 0;
  if (int e = MakeFolders(folder.parent_path())) return e;
  if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return errno;
  ::chmod(folder.c_str(), 0755);
  return 0;
}

// Writes (or, without text, removes) every file of the plan. Nothing is written before the
// whole plan stands, so a refusal leaves each file as it was.
int Apply(const fs::path& root, const std::vector<std::string>& origins) {
  std::vector<std::pair<fs::path, std::optional<std::string>>> plan;
  const std::string chromium = ChromiumPolicies(origins);
  for (const char* file : kChromiumPolicyFiles)
    plan.emplace_back(root / file, origins.empty() ? std::nullopt : std::optional(chromium));

  const fs::path firefox = root / kFirefoxPolicyFile, record = root / kFirefoxHostsRecord;
  int error = 0;
  const std::string existing = ReadText(firefox, error);
  if (error) return Fail(firefox.string() + ": cannot be read (" + std::strerror(error) + ")");
  std::vector<std::string> previous, added;
  const std::string recorded = ReadText(record, error);
  for (size_t at = 0, end; at < recorded.size(); at = end + 1) {
    end = std::min(recorded.find('\n', at), recorded.size());
    if (end > at) previous.push_back(recorded.substr(at, end - at));
  }
  std::string why;
  const auto merged = FirefoxPolicies(existing, origins, previous, added, why);
  if (!merged) return Fail(firefox.string() + " " + why + "; no browser policy was written");
  if (*merged != existing) plan.emplace_back(firefox, merged->empty() ? std::nullopt : merged);
  std::string hosts;
  for (const auto& host : added) hosts += host + "\n";
  plan.emplace_back(record, hosts.empty() ? std::nullopt : std::optional(hosts));

  for (const auto& [path, text] : plan) {
    if (text) {
      int e = MakeFolders(path.parent_path());
      if (e == 0) e = ReplaceFile(path, *text, FileAccess::kEveryone, true);
      if (e != 0) return Fail(path.string() + ": cannot be written (" + std::strerror(e) + ")");
      std::printf("velnaro-ds: wrote %s\n", path.c_str());
    } else if (::unlink(path.c_str()) == 0) {
      std::printf("velnaro-ds: removed %s\n", path.c_str());
    } else if (errno != ENOENT) {
      return Fail(path.string() + ": cannot be removed (" + std::strerror(errno) + ")");
    }
  }
  return 0;
}

}  // namespace

std::string ChromiumPolicies(const std::vector<std::string>& origins) {
  rapidjson::Document doc(rapidjson::kObjectType);
  Allocator& a = doc.GetAllocator();
  Value all(rapidjson::kArrayType), insecure(rapidjson::kArrayType);
  for (const auto& origin : origins) {
    all.PushBack(Value(origin.c_str(), a), a);
    // Only a secure context may hold the permission: a plain http page is made one.
    if (origin.rfind("http://", 0) == 0) insecure.PushBack(Value(origin.c_str(), a), a);
  }
  // The name of version 146 on; the older one serves 139 to 145.
  doc.AddMember("LoopbackNetworkAllowedForUrls", Value(all, a), a);
  doc.AddMember("LocalNetworkAccessAllowedForUrls", all, a);
  // Left out when empty: it would hide the same list set by another file of the folder.
  if (!insecure.Empty()) doc.AddMember("OverrideSecurityRestrictionsOnInsecureOrigin", insecure, a);
  return Written(doc);
}

std::optional<std::string> FirefoxPolicies(std::string_view existing,
                                           const std::vector<std::string>& origins,
                                           const std::vector<std::string>& previous,
                                           std::vector<std::string>& added, std::string& error) {
  added.clear();
  std::unique_ptr<JsonDocument> parsed = std::make_unique<JsonDocument>();
  if (existing.find_first_not_of(" \t\r\n") != std::string_view::npos) parsed = ParseJson(existing);
  if (!parsed || !(parsed->Root().IsObject() || parsed->Root().IsNull())) {
    error = "is not a JSON object";
    return std::nullopt;
  }
  rapidjson::Document& doc = parsed->Raw();
  if (doc.IsNull()) doc.SetObject();
  Allocator& a = doc.GetAllocator();
  Value* policies = ObjectMember(doc, "policies", a);
  Value* access = policies ? ObjectMember(*policies, "LocalNetworkAccess", a) : nullptr;
  if (!access) {
    error = "holds a \"policies\" or \"LocalNetworkAccess\" that is not an object";
    return std::nullopt;
  }
  if (!access->HasMember("SkipDomains"))
    access->AddMember("SkipDomains", Value(rapidjson::kArrayType), a);
  Value& skip = (*access)["SkipDomains"];
  if (!skip.IsArray()) {
    error = "holds a SkipDomains that is not a list";
    return std::nullopt;
  }
  std::vector<std::string> hosts;
  for (const auto& origin : origins) {
    std::string host = HostOf(origin);
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.push_back(host);
  }
  auto among = [](const std::vector<std::string>& list, const std::string& host) {
    return std::find(list.begin(), list.end(), host) != list.end();
  };
  const Value original(skip, a);
  // An earlier run's host that is still wanted keeps its place.
  for (auto v = skip.Begin(); v != skip.End();) {
    const bool gone =
        v->IsString() && among(previous, v->GetString()) && !among(hosts, v->GetString());
    v = gone ? skip.Erase(v) : v + 1;
  }
  for (const auto& host : hosts) {
    const bool there = std::any_of(skip.Begin(), skip.End(), [&](const Value& v) {
      return v.IsString() && host == v.GetString();
    });
    if (!there) skip.PushBack(Value(host.c_str(), a), a);
    if (!there || among(previous, host)) added.push_back(host);
  }
  const bool changed = skip != original;
  if (!changed) return std::string(existing);
  // Nothing of ours stays behind: no empty list, no empty policy, no file without policies.
  if (skip.Empty()) access->EraseMember("SkipDomains");
  if (access->ObjectEmpty()) policies->EraseMember("LocalNetworkAccess");
  if (policies->ObjectEmpty() && doc.MemberCount() == 1) return std::string();
  return Written(doc);
}

std::optional<int> BrowserPolicyCommand(const std::vector<std::string>& params) {
  if (params.empty() ||
      (params[0] != "--write-browser-policies" && params[0] != "--remove-browser-policies"))
    return std::nullopt;
  fs::path root = "/";
  if (params.size() == 3 && params[1] == "--root" && !params[2].empty()) {
    root = params[2];
  } else if (params.size() != 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (params[0] == "--remove-browser-policies") return Apply(root, {});

  const ConfigProblemSink print = [](const std::string& problem) {
    std::fprintf(stderr, "velnaro-ds: %s\n", problem.c_str());
  };
  // An image's own settings file, unless one is named.
  const char* named = std::getenv(kMachineConfigVariable);
  const std::string file = named && *named ? named : (root / (kMachineConfigPath + 1)).string();
  // Settings that cannot be read are not an empty list: the policies stay as they are.
  const int unreadable = ::access(file.c_str(), R_OK) == 0 ? 0 : errno;
  if (unreadable && (unreadable != ENOENT || (named && *named)))
    return Fail(file + ": cannot be read (" + std::strerror(unreadable) +
                "); no browser policy was written");
  const MachineConfig config = ReadMachineConfigFile(file, false, print);
  if (!config.RejectedOrigins.empty())
    return Fail("no browser policy was written: \"" + config.RejectedOrigins.front() +
                "\" in AllowedOrigins is not a web origin such as https://crm.example.com");
  if (config.AllowedOrigins.empty())
    std::printf("velnaro-ds: %s names no AllowedOrigins: no browser policy is needed\n",
                file.c_str());
  return Apply(root, config.AllowedOrigins);
}

}  // namespace velnaro
