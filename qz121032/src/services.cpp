// The services the exports run on: the real INI loader, debug log, driver library, J1939
// table and protocol clients.

#include <cstdio>

#include "api.hpp"
#include "can_client.hpp"
#include "j1939_client.hpp"
#include "logger.hpp"
#include "qzj1939lib/j1939.h"
#include "tarnlib/driver_library.hpp"

namespace qz121032 {

namespace {

Outcome<std::unique_ptr<ProtocolClient>> create_protocol_client(ClientCreateArgs args) {
    if (args.protocol.is_can) {
        return connect_can_client(args);
    }
    return connect_j1939_client(args);
}

}  // namespace

ApiServices default_services() {
    ApiServices services;
    services.load_settings = [](IniSettings& settings) {
        return load_ini_file(find_ini_path(), settings);
    };
    services.start_log = [](const IniSettings& settings) { return start_logging(settings); };
    services.check_driver = [] {
        std::int32_t count = 0;
        return tarnlib::DriverLibrary::instance().get_number_of_channels(count) == 0;
    };
    services.configure_j1939 = [] { return j1939_configure_shared_address_table(); };
    services.open_hardware_status = [] { return HardwareStatus::open(); };
    services.create_client = create_protocol_client;
    services.unload_driver = [] {
        // Only a driver that was loaded is unloaded: loading a library while the process
        // detaches this one would run under the system loader's lock.
        if (tarnlib::DriverLibrary* driver = tarnlib::DriverLibrary::existing()) {
            driver->unload_library();
        }
    };
    services.print_line = [](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    return services;
}

}  // namespace qz121032
