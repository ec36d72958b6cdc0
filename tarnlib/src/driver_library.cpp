#include "tarnlib/driver_library.hpp"

#include <atomic>
#include <optional>

#include "platform/dynamic_library.hpp"
#include "platform/log.hpp"
#include "tarnlib/driver_api.h"
#include "tarnlib/status.hpp"

namespace tarnlib {

namespace {
constexpr const char* kTarget = "tarnlib";
std::atomic<DriverLibrary*> created_instance{nullptr};
}  // namespace

struct DriverLibrary::Functions {
    tarnInitializeLibrary_fn initialize_library = nullptr;
    tarnUnloadLibrary_fn unload_library = nullptr;
    tarnGetNumberOfChannels_fn get_number_of_channels = nullptr;

    bool complete() const {
        return initialize_library != nullptr && unload_library != nullptr &&
               get_number_of_channels != nullptr;
    }
};

struct DriverLibrary::State {
    std::optional<platform::DynamicLibrary> library;
    Functions functions;
    bool loaded = false;
};

DriverLibrary& DriverLibrary::instance() {
    // Never destroyed: the driver stays loaded until the process ends, and the context
    // must outlive every thread that may still call into it at exit.
    static DriverLibrary* const context = [] {
        auto* created = new DriverLibrary();
        created_instance.store(created, std::memory_order_release);
        return created;
    }();
    return *context;
}

DriverLibrary* DriverLibrary::existing() noexcept {
    return created_instance.load(std::memory_order_acquire);
}

DriverLibrary::DriverLibrary() : state_(new State) {
    const std::string file = platform::shared_library_file_name(kDriverLibraryBaseName);
    auto library = platform::DynamicLibrary::open(file);
    if (!library) {
        QZ_LOG_ERROR(kTarget, "Failed to load CAN driver library {}: {}", file,
                     library.error().what);
        return;
    }
    Functions& f = state_->functions;
    f.initialize_library =
        library->function<tarnInitializeLibrary_fn>("tarnInitializeLibrary");
    f.unload_library = library->function<tarnUnloadLibrary_fn>("tarnUnloadLibrary");
    f.get_number_of_channels =
        library->function<tarnGetNumberOfChannels_fn>("tarnGetNumberOfChannels");
    if (!f.complete()) {
        QZ_LOG_ERROR(kTarget, "CAN driver library {} lacks required functions", file);
        state_->functions = {};
        return;
    }
    state_->library = std::move(library.value());
    state_->loaded = true;
    f.initialize_library();
}

DriverLibrary::~DriverLibrary() { delete state_; }

bool DriverLibrary::loaded() const noexcept { return state_->loaded; }

std::int32_t DriverLibrary::get_number_of_channels(std::int32_t& count) const noexcept {
    if (!state_->loaded) {
        return static_cast<std::int32_t>(Status::tarnERR_DYNALOAD);
    }
    return state_->functions.get_number_of_channels(&count);
}

std::int32_t DriverLibrary::unload_library() const noexcept {
    if (!state_->loaded) {
        return static_cast<std::int32_t>(Status::tarnERR_DYNALOAD);
    }
    return state_->functions.unload_library();
}

}  // namespace tarnlib
