// SPDX-License-Identifier: MIT
#include "presentation/impress_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "picture/error.h"
#include "presentation/module_file.h"

namespace tam::pres {
namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st = {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> PluginCandidates(const ImpressOptions& options) {
  if (!options.plugin.empty()) return {options.plugin};
  std::vector<std::string> out;
  if (const char* env = std::getenv("TAM_IMPRESS_PLUGIN"); env && *env) out.emplace_back(env);
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    out.push_back(folder + "/" TAM_IMPRESS_PLUGIN_NAME);
#ifdef TAM_IMPRESS_RELATIVE_PATH
    out.push_back(folder + "/" TAM_IMPRESS_RELATIVE_PATH);  // an installed tree moved elsewhere
#endif
  }
#ifdef TAM_IMPRESS_INSTALL_PATH
  out.emplace_back(TAM_IMPRESS_INSTALL_PATH);
#endif
#ifdef TAM_IMPRESS_BUILD_PATH
  out.emplace_back(TAM_IMPRESS_BUILD_PATH);
#endif
  return out;
}

}  // namespace

std::string FindSoffice(const std::string& search_path, const std::vector<std::string>& fallbacks) {
  size_t start = 0;
  while (start <= search_path.size()) {
    size_t end = search_path.find(':', start);
    if (end == std::string::npos) end = search_path.size();
    // An empty entry of PATH means the current folder; a launcher found there
    // by accident is not what the user installed, so it is passed over.
    if (end > start) {
      const std::string candidate = search_path.substr(start, end - start) + "/soffice";
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  for (const auto& f : fallbacks)
    if (IsExecutableFile(f)) return f;
  return {};
}

std::unique_ptr<OfficeServer> LoadImpressServer(const ImpressOptions& options, std::string* why_not) {
  auto fail = [why_not](std::string reason) {
    if (why_not) *why_not = std::move(reason);
    return std::unique_ptr<OfficeServer>();
  };
  ImpressOptions resolved = options;
  if (resolved.soffice.empty()) {
    const char* path = std::getenv("PATH");
    resolved.soffice = FindSoffice(path ? path : "", resolved.soffice_fallbacks);
    if (resolved.soffice.empty()) return fail("LibreOffice (soffice) が見つかりません");
  } else if (!IsExecutableFile(resolved.soffice)) {
    return fail("LibreOffice (soffice) が見つかりません: " + resolved.soffice);
  }

  std::string errors;
  for (const auto& candidate : PluginCandidates(resolved)) {
    if (::access(candidate.c_str(), F_OK) != 0) continue;
    if (const std::string problem = ModuleFileProblem(candidate); !problem.empty()) {
      errors += (errors.empty() ? "" : "; ") + candidate + ": " + problem;
      continue;
    }
    // Never unloaded: the objects it makes may live until the program ends.
    void* handle = ::dlopen(ModuleFileName(candidate).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* e = ::dlerror();
      errors += std::string(errors.empty() ? "" : "; ") + (e ? e : candidate);
      continue;
    }
    auto create = reinterpret_cast<CreateImpressServerFn>(::dlsym(handle, kImpressEntryPoint));
    if (!create) {
      errors += (errors.empty() ? "" : "; ") + candidate + ": " + kImpressEntryPoint + " がありません";
      continue;
    }
    try {
      std::unique_ptr<OfficeServer> server(create(&resolved));
      if (server) return server;
    } catch (const std::exception& e) {
      return fail(ErrorText(e));
    }
  }
  if (errors.empty()) return fail("Impress 用のプラグインが見つかりません");
  return fail("Impress 用のプラグインを読み込めません: " + errors);
}

}  // namespace tam::pres
