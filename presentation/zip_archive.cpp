#include "presentation/zip_archive.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "picture/error.h"
#include "presentation/module_file.h"
#include "presentation/zip_module.h"

namespace tam::pres {
namespace {

// Where the module may be: TAM_ZIP_MODULE alone when set; else where an
// installed tree puts it relative to the program (wherever the tree was
// moved), the build folder's for a program run from there, the install folder.
std::vector<std::string> ModuleCandidates() {
  if (const char* env = std::getenv("TAM_ZIP_MODULE"); env && *env) return {env};
  std::vector<std::string> out;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) {
    out.push_back(folder + "/" TAM_ZIP_RELATIVE_PATH);
    const std::string build = TAM_ZIP_BUILD_FOLDER "/";
    if ((folder + "/").compare(0, build.size(), build) == 0) out.emplace_back(TAM_ZIP_BUILD_PATH);
  }
  out.emplace_back(TAM_ZIP_INSTALL_PATH);
  return out;
}

const TamZipModule* LoadModule() {
  static std::mutex mutex;
  static const TamZipModule* loaded = nullptr;
  const std::lock_guard lock(mutex);
  if (loaded) return loaded;
  std::string errors, looked;
  auto note = [&errors](const std::string& e) { errors += (errors.empty() ? "" : "; ") + e; };
  for (const std::string& candidate : ModuleCandidates()) {
    looked += (looked.empty() ? "" : ", ") + candidate;
    if (::access(candidate.c_str(), F_OK) != 0) continue;
    if (const std::string problem = ModuleFileProblem(candidate); !problem.empty()) {
      note(candidate + ": " + problem);
      continue;
    }
    // Never unloaded: it costs nothing to keep, and the next save needs it.
    void* handle = ::dlopen(ModuleFileName(candidate).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* e = ::dlerror();
      note(e ? e : candidate);
      continue;
    }
    auto entry = reinterpret_cast<TamZipEntryFn>(::dlsym(handle, kTamZipEntryPoint));
    const TamZipModule* module = entry ? entry() : nullptr;
    if (!module || module->abi != kTamZipAbi) {
      note(candidate + ": 別の版のモジュールです");
      continue;
    }
    loaded = module;
    return loaded;
  }
  if (errors.empty()) {
    // Where it was looked for: a tree installed or moved by hand is set right from that.
    throw Error("zip を書き出すモジュール " TAM_ZIP_MODULE_NAME " が見つかりません (探した場所: " + looked +
                ")");
  }
  throw Error("zip を書き出すモジュール " TAM_ZIP_MODULE_NAME " を読み込めません: " + errors);
}

// The module's reason, kept until it is thrown on this side of the boundary.
// Nothing may be thrown back into the module.
void KeepReason(void* context, const char* reason) noexcept {
  try {
    *static_cast<std::string*>(context) = reason ? reason : "";
  } catch (...) {
    // Out of memory: the failure is still reported, without its reason.
  }
}

// A ZipInput as the module calls it: nothing is thrown across the boundary,
// the reason of a failure stays here.
struct InputCall {
  std::unique_ptr<ZipInput> input;
  std::string* failure;

  template <class F>
  std::int64_t Guard(F f) noexcept {
    try {
      return f();
    } catch (const std::bad_alloc&) {
      Note("メモリが不足しています");
    } catch (const std::exception& e) {
      Note(e.what());
    }
    return -1;
  }
  void Note(const char* what) noexcept {
    try {
      if (failure->empty()) *failure = what;
    } catch (...) {
    }
  }

  static InputCall& Of(void* user) { return *static_cast<InputCall*>(user); }
  static int Open(void* user) {
    return static_cast<int>(Of(user).Guard([&] {
      Of(user).input->Open();
      return std::int64_t{0};
    }));
  }
  static std::int64_t Read(void* user, void* buffer, std::uint64_t n) {
    return Of(user).Guard([&] {
      return static_cast<std::int64_t>(
          Of(user).input->Read(static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(n)));
    });
  }
  static void Close(void* user) {
    Of(user).Guard([&] {
      Of(user).input->Close();
      return std::int64_t{0};
    });
  }
  static void Free(void* user) { delete &Of(user); }
};

}  // namespace

void ZipWriter::LoadNow() { LoadModule(); }

ZipWriter::ZipWriter(int fd, std::time_t mtime) : module_(LoadModule()), mtime_(mtime) {
  std::string reason;
  archive_ = module_->open(fd, KeepReason, &reason);
  if (!archive_) throw Error(reason);
}

ZipWriter::~ZipWriter() {
  if (archive_) module_->discard(archive_);
}

ZipWriter::ZipWriter(ZipWriter&& other) noexcept
    : module_(other.module_),
      archive_(std::exchange(other.archive_, nullptr)),
      mtime_(other.mtime_),
      input_failure_(std::move(other.input_failure_)) {}

ZipWriter& ZipWriter::operator=(ZipWriter&& other) noexcept {
  if (this != &other) {
    if (archive_) module_->discard(archive_);
    module_ = other.module_;
    archive_ = std::exchange(other.archive_, nullptr);
    mtime_ = other.mtime_;
    input_failure_ = std::move(other.input_failure_);
  }
  return *this;
}

void ZipWriter::Add(const std::string& name, std::span<const std::uint8_t> data, int level) {
  std::string reason;
  if (module_->add(archive_, name.c_str(), data.data(), data.size(), level, static_cast<std::int64_t>(mtime_),
                   KeepReason, &reason) != 0) {
    throw Error(reason);
  }
}

void ZipWriter::Add(const std::string& name, const std::string& text, int level) {
  Add(name, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), level);
}

void ZipWriter::Add(const std::string& name, std::unique_ptr<ZipInput> input, int level) {
  const std::uint64_t size = input->size();
  auto* call = new InputCall{std::move(input), input_failure_.get()};
  const TamZipInput table{call, size, InputCall::Open, InputCall::Read, InputCall::Close, InputCall::Free};
  std::string reason;
  // The module owns call from here on.
  if (module_->add_input(archive_, name.c_str(), &table, level, static_cast<std::int64_t>(mtime_), KeepReason,
                         &reason) != 0) {
    throw Error(reason);
  }
}

void ZipWriter::Close() {
  std::string reason;
  if (module_->close(archive_, KeepReason, &reason) != 0) {
    if (!input_failure_->empty()) throw Error(*input_failure_);
    throw Error(reason);
  }
  archive_ = nullptr;
}

}  // namespace tam::pres
