// The API layer against stand-in services: the INI load, the driver check and the protocol
// clients are fakes, so that every path of the exports' logic runs here.

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "api.hpp"
#include "log_capture.hpp"

namespace qz121032 {
namespace {

using platform::unexpected;

// What the fake clients record and answer.
struct FakeWorld {
    std::vector<ClientCreateArgs> created;
    std::vector<std::vector<std::uint8_t>> sent;
    std::int16_t send_result = 0;
    std::optional<std::int16_t> prepare_failure;
    std::vector<std::vector<std::uint8_t>> inbox;
    std::int16_t read_failure = 0;
    std::chrono::nanoseconds last_wait{-1};
    int shutdowns = 0;
    std::optional<bool> filters_pass;
    std::optional<bool> message_receive;
    bool has_device = true;
    std::optional<std::uint32_t> bus_type;
    std::optional<std::uint64_t> firmware;
    std::int32_t probe_status = 0;
};

class FakeQueue : public ReceiveQueue {
  public:
    explicit FakeQueue(FakeWorld& world) : world_(world) {}
    platform::Expected<std::size_t, std::int16_t> read(std::span<std::uint8_t> out,
                                                       std::chrono::nanoseconds wait) override {
        world_.last_wait = wait;
        if (world_.read_failure != 0) {
            return unexpected(world_.read_failure);
        }
        if (world_.inbox.empty()) {
            return std::size_t{0};
        }
        auto message = world_.inbox.front();
        if (message.size() > out.size()) {
            return unexpected(std::int16_t{ERR_MESSAGE_TOO_LONG});
        }
        world_.inbox.erase(world_.inbox.begin());
        std::memcpy(out.data(), message.data(), message.size());
        return message.size();
    }

  private:
    FakeWorld& world_;
};

class FakeClient : public ProtocolClient {
  public:
    FakeClient(FakeWorld& world, ProtocolKind kind)
        : world_(world), kind_(kind), queue_(std::make_shared<FakeQueue>(world)) {}
    ProtocolKind kind() const noexcept override { return kind_; }
    std::int16_t send(std::span<const std::uint8_t> message) override {
        world_.sent.emplace_back(message.begin(), message.end());
        return world_.send_result;
    }
    platform::Expected<std::shared_ptr<ReceiveQueue>, std::int16_t> prepare_read() override {
        if (world_.prepare_failure) {
            return unexpected(*world_.prepare_failure);
        }
        return std::shared_ptr<ReceiveQueue>(queue_);
    }
    void shutdown() override { ++world_.shutdowns; }
    void set_all_filters(bool pass) override { world_.filters_pass = pass; }
    void set_message_receive(bool enabled) override { world_.message_receive = enabled; }
    platform::Expected<std::uint16_t, std::int16_t> command(std::int16_t number,
                                                            std::span<std::uint8_t>) override {
        if (number == 45) {
            return std::uint16_t{0};
        }
        return unexpected(std::int16_t{ERR_COMMAND_NOT_SUPPORTED});
    }
    bool has_device() const override { return world_.has_device; }
    std::optional<std::uint32_t> bus_type() override { return world_.bus_type; }
    std::optional<std::uint64_t> firmware_revision() override { return world_.firmware; }
    std::int32_t probe_exclusive_open() override { return world_.probe_status; }
    std::array<std::uint8_t, 64> hardware_status() override {
        std::array<std::uint8_t, 64> record{};
        for (std::size_t i = 0; i < record.size(); ++i) {
            record[i] = static_cast<std::uint8_t>(i + 1);
        }
        return record;
    }

  private:
    FakeWorld& world_;
    ProtocolKind kind_;
    std::shared_ptr<FakeQueue> queue_;
};

DeviceInfo device(std::uint32_t id, std::string params, std::uint32_t can_channels = 2,
                  std::uint32_t j1939_channels = 2) {
    DeviceInfo d;
    d.device_id = id;
    d.device_description = "test device";
    d.device_name = "test";
    d.device_params = std::move(params);
    d.multi_can_channels = can_channels;
    d.multi_j1939_channels = j1939_channels;
    return d;
}

// One scenario family's world: the settings the fake INI load yields, the outcome of each
// initialisation step, and what reached standard output.
struct ApiHarness {
    ApiHarness() {
        settings.vendor = VendorInfo{};
        settings.vendor->rp1210 = "C";
        settings.vendor->version = "3.0";
        settings.devices[1] = device(1, "Serial=10001");
        settings.devices[2] = device(2, "EAN=73-30130-12345-6,Chan=1", 1, 1);
        settings.devices[3] = device(3, "Serial=10001", 0, 2);
        settings.devices[4] = device(4, "Bogus=1");
        settings.valid = true;
    }

    Api& api() {
        if (!api_) {
            ApiServices s;
            s.load_settings = [this](IniSettings& out) -> std::optional<std::string> {
                ++loads;
                if (load_error) {
                    return load_error;
                }
                out = settings;
                return std::nullopt;
            };
            s.start_log = [this](const IniSettings&) { return log_error; };
            s.check_driver = [this] { return driver_ok; };
            s.configure_j1939 = [this] { return j1939_result; };
            // A block of its own, away from the real one that other test processes use.
            s.open_hardware_status = [] {
                return HardwareStatus::open_named("QZ121032_API_TEST_HW_STATUS",
                                                  "QZ121032_API_TEST_HW_STATUS_LOCK")
                    .value();
            };
            s.create_client =
                [this](ClientCreateArgs args) -> Outcome<std::unique_ptr<ProtocolClient>> {
                if (create_failure) {
                    return unexpected(*create_failure);
                }
                const ProtocolKind kind =
                    args.protocol.is_can ? ProtocolKind::Can : ProtocolKind::J1939;
                world.created.push_back(std::move(args));
                return std::unique_ptr<ProtocolClient>(new FakeClient(world, kind));
            };
            s.unload_driver = [this] { ++unloads; };
            s.print_line = [this](std::string_view line) { printed.emplace_back(line); };
            api_ = std::make_unique<Api>(std::move(s));
        }
        return *api_;
    }

    std::int16_t connect(std::int16_t device_id = 1, const char* protocol = "CAN",
                         std::int32_t tx = 0, std::int32_t rx = 0) {
        return api().client_connect(device_id, protocol, tx, rx, 0);
    }

    LogCapture log;
    IniSettings settings;
    std::optional<std::string> load_error;
    std::optional<std::string> log_error;
    bool driver_ok = true;
    std::int32_t j1939_result = 0;
    std::optional<Failure> create_failure;
    int loads = 0;
    int unloads = 0;
    std::vector<std::string> printed;
    FakeWorld world;

  private:
    std::unique_ptr<Api> api_;
};

class ApiTest : public ::testing::Test, public ApiHarness {};

TEST_F(ApiTest, InitialisationFailuresAreFinalForTheProcess) {
    load_error = "Failed to read INI file";
    EXPECT_EQ(connect(), ERR_DLL_NOT_INITIALIZED);
    EXPECT_EQ(connect(), ERR_DLL_NOT_INITIALIZED);
    EXPECT_EQ(loads, 1) << "the initialisation must not run again";
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0], "Ostrel RP1210: Failed to load INI file: Failed to read INI file");
    EXPECT_TRUE(log.contains("ERROR qz121032 RP1210_ClientConnect: RP1210 DLL not initialized."));
}

TEST_F(ApiTest, InitialisationStepsReportTheirFailure) {
    struct Case {
        const char* name;
        std::function<void(ApiHarness&)> arrange;
        bool initialized;
        const char* printed;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"invalid settings", [](ApiHarness& t) { t.settings.valid = false; }, false,
         "Ostrel RP1210: INI file is invalid.", nullptr},
        {"log failure is not fatal",
         [](ApiHarness& t) { t.log_error = "Failed to create log file"; }, true,
         "Ostrel RP1210: Failed to initialize debug log.", nullptr},
        {"driver missing", [](ApiHarness& t) { t.driver_ok = false; }, false, nullptr,
         "ERROR qz121032 Failed to initialize tarnlib."},
        {"j1939 table", [](ApiHarness& t) { t.j1939_result = -1; }, false, nullptr,
         "ERROR qz121032 Failed to initialize J1939."},
        {"version mismatch only warns", [](ApiHarness& t) { t.settings.vendor->version = "2.0"; },
         true, nullptr,
         "ERROR qz121032 The file qz121032.ini does not match expected version: RP1210C 2.0 "
         "vs RP1210C 3.0. This may cause compatibility issues."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ApiHarness t;
        c.arrange(t);
        const std::int16_t result = t.connect();
        EXPECT_EQ(t.api().initialized(), c.initialized);
        EXPECT_EQ(result == ERR_DLL_NOT_INITIALIZED, !c.initialized);
        if (c.printed != nullptr) {
            ASSERT_EQ(t.printed.size(), 1u);
            EXPECT_EQ(t.printed[0], c.printed);
        } else {
            EXPECT_TRUE(t.printed.empty());
        }
        if (c.logged != nullptr) {
            EXPECT_TRUE(t.log.contains(c.logged)) << t.log.text();
        }
    }
}

TEST_F(ApiTest, ConnectHandsTheResolvedChannelToTheClient) {
    EXPECT_EQ(connect(1, "CAN:Channel=2", -5, 100), 1);
    ASSERT_EQ(world.created.size(), 1u);
    const ClientCreateArgs a = world.created[0];
    EXPECT_EQ(a.client_id, 1);
    EXPECT_EQ(a.channel_index, 1u);
    EXPECT_EQ(a.serial_number, 10001u);
    EXPECT_FALSE(a.ean.has_value());
    EXPECT_EQ(a.tx_buffer_size, 8192u) << "a size <= 0 means 8192";
    EXPECT_EQ(a.rx_buffer_size, 100u);
    EXPECT_NE(a.hardware_status, nullptr);
    EXPECT_TRUE(log.contains("INFO qz121032 RP1210_ClientConnect: Client 1, 1, CAN:Channel=2"));

    EXPECT_EQ(connect(2, "J1939"), 2);
    EXPECT_EQ(world.created[1].channel_index, 1u) << "the fixed channel is used";
    EXPECT_EQ(world.created[1].ean, 0x7330130123456ull);
    EXPECT_EQ(world.created[1].hardware_status, a.hardware_status) << "one block per process";
}

TEST_F(ApiTest, ConnectRejections) {
    struct Case {
        std::int16_t device;
        const char* protocol;
        std::int16_t code;
        const char* logged;
    };
    const Case cases[] = {
        {9, "CAN", ERR_INVALID_DEVICE, "RP1210_ClientConnect: Invalid device ID: 9"},
        {1, nullptr, ERR_INVALID_PROTOCOL, "RP1210_ClientConnect: Invalid protocol string: "},
        {1, "J1708", ERR_INVALID_PROTOCOL, "RP1210_ClientConnect: Invalid protocol string: "},
        {2, "CAN:Channel=2", ERR_INVALID_DEVICE,
         "RP1210_ClientConnect: Protocol channel does not match device's fixed channel"},
        {3, "CAN", ERR_INVALID_DEVICE, "RP1210_ClientConnect: Device has no available channels"},
        {1, "CAN:Channel=3", ERR_INVALID_DEVICE,
         "RP1210_ClientConnect: Protocol channel out of device's supported range"},
        {4, "CAN", ERR_INVALID_DEVICE,
         "RP1210_ClientConnect: Device parameters must specify at least Chan, EAN, or Serial"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protocol ? c.protocol : "null");
        EXPECT_EQ(connect(c.device, c.protocol), c.code);
        EXPECT_TRUE(log.contains(std::string("ERROR qz121032 ") + c.logged)) << log.text();
    }
    EXPECT_TRUE(world.created.empty());

    create_failure = Failure{ERR_CAN_BAUD_SET_NONSTANDARD, "bus runs at another rate"};
    EXPECT_EQ(connect(), ERR_CAN_BAUD_SET_NONSTANDARD);
    EXPECT_TRUE(log.contains("ERROR qz121032 RP1210_ClientConnect: bus runs at another rate"));
    create_failure.reset();
    // Failed connects after the ID allocation still advanced the rotation.
    EXPECT_EQ(connect(), 6);
}

TEST_F(ApiTest, DisconnectKeepsTheSlotForLaterReuse) {
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(api().client_disconnect(1), NO_ERRORS);
    EXPECT_EQ(world.shutdowns, 1);
    EXPECT_EQ(api().client_disconnect(1), ERR_CLIENT_DISCONNECTED);
    EXPECT_EQ(api().client_disconnect(7), ERR_INVALID_CLIENT_ID);
    EXPECT_TRUE(log.contains("RP1210_ClientDisconnect: Client 1 is already disconnected"));
    EXPECT_TRUE(log.contains("RP1210_ClientDisconnect: Invalid client ID: 7"));
    EXPECT_EQ(connect(), 2) << "the rotation goes on before reusing 1";
}

TEST_F(ApiTest, SendMessageChecksSizeByProtocol) {
    ASSERT_EQ(connect(1, "CAN"), 1);
    ASSERT_EQ(connect(1, "J1939"), 2);
    std::vector<std::uint8_t> bytes(2000, 0xAB);
    const auto* data = bytes.data();
    for (std::int16_t size : {2, 14, -1}) {
        EXPECT_EQ(api().send_message(1, data, size), ERR_MESSAGE_TOO_LONG) << size;
    }
    EXPECT_EQ(api().send_message(1, data, 3), NO_ERRORS);
    EXPECT_EQ(api().send_message(1, data, 13), NO_ERRORS);
    EXPECT_EQ(api().send_message(2, data, 5), ERR_MESSAGE_TOO_LONG);
    EXPECT_EQ(api().send_message(2, data, 1792), ERR_MESSAGE_TOO_LONG);
    EXPECT_EQ(api().send_message(2, data, 6), NO_ERRORS);
    EXPECT_EQ(api().send_message(2, data, 1791), NO_ERRORS);
    EXPECT_EQ(world.sent.size(), 4u);
    EXPECT_TRUE(log.contains("RP1210_SendMessage: Client 1: Invalid message buffer size: 65535"));
    EXPECT_TRUE(log.contains("INFO qz121032 RP1210_SendMessage: Client 1, [AB AB AB]"));

    EXPECT_EQ(api().send_message(1, nullptr, 5), ERR_MESSAGE_NOT_SENT);
    EXPECT_EQ(api().send_message(9, data, 5), ERR_INVALID_CLIENT_ID);
    world.send_result = ERR_HARDWARE_NOT_RESPONDING;
    EXPECT_EQ(api().send_message(1, data, 5), ERR_HARDWARE_NOT_RESPONDING);
    EXPECT_TRUE(log.contains("RP1210_SendMessage: Client 1 failed to send message: 142"));
    ASSERT_EQ(api().client_disconnect(1), NO_ERRORS);
    EXPECT_EQ(api().send_message(1, data, 5), ERR_CLIENT_DISCONNECTED);
}

TEST_F(ApiTest, ReadMessageReturnsBytesOrNegatedCodes) {
    char buffer[16] = {};
    // Both buffer checks come before the client lookup.
    EXPECT_EQ(api().read_message(99, nullptr, 16, 0), -ERR_MESSAGE_TOO_LONG);
    EXPECT_EQ(api().read_message(99, buffer, 0, 0), -ERR_MESSAGE_TOO_LONG);
    EXPECT_EQ(api().read_message(99, buffer, -4, 0), -ERR_MESSAGE_TOO_LONG);
    EXPECT_EQ(api().read_message(99, buffer, 16, 0), -ERR_INVALID_CLIENT_ID);

    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(api().read_message(1, buffer, 16, 0), 0);
    EXPECT_EQ(world.last_wait, std::chrono::nanoseconds::zero()) << "no block: no wait";
    EXPECT_EQ(api().read_message(1, buffer, 16, 1), 0);
    EXPECT_EQ(world.last_wait, kWaitWithoutLimit);

    world.inbox.push_back({0x00, 0x00, 0x01, 0x02, 0x00, 0x12, 0x34});
    world.inbox.push_back(std::vector<std::uint8_t>(20, 1));
    EXPECT_EQ(api().read_message(1, buffer, 16, 0), 7);
    EXPECT_EQ(std::memcmp(buffer, "\x00\x00\x01\x02\x00\x12\x34", 7), 0);
    EXPECT_TRUE(log.contains("RP1210_ReadMessage: Client 1, [00 00 01 02 00 12 34]"));
    EXPECT_EQ(api().read_message(1, buffer, 16, 0), -ERR_MESSAGE_TOO_LONG);

    for (std::int16_t code :
         {ERR_BUS_OFF, ERR_HARDWARE_NOT_RESPONDING, ERR_RX_QUEUE_CORRUPT, ERR_RX_QUEUE_FULL}) {
        world.prepare_failure = code;
        EXPECT_EQ(api().read_message(1, buffer, 16, 0), -code);
    }
    EXPECT_TRUE(log.contains("RP1210_ReadMessage: Client 1 failed to read message: 151"));
    world.prepare_failure.reset();
    world.read_failure = ERR_CLIENT_DISCONNECTED;
    EXPECT_EQ(api().read_message(1, buffer, 16, 0), -ERR_CLIENT_DISCONNECTED);

    ASSERT_EQ(api().client_disconnect(1), NO_ERRORS);
    EXPECT_EQ(api().read_message(1, buffer, 16, 0), -ERR_CLIENT_DISCONNECTED);
}

TEST_F(ApiTest, ApiLayerCommands) {
    ASSERT_EQ(connect(), 1);
    char buffer[8];
    auto command = [&](std::int16_t number, std::vector<std::uint8_t> args) {
        return api().send_command(number, 1, args.data(), static_cast<std::int16_t>(args.size()));
    };
    // Set_Blocking_Timeout: a * b milliseconds, 0 = without limit.
    EXPECT_EQ(command(215, {10, 100}), 0);
    api().read_message(1, buffer, 8, 1);
    EXPECT_EQ(world.last_wait, std::chrono::milliseconds(1000));
    EXPECT_EQ(command(215, {0, 50}), 0);
    api().read_message(1, buffer, 8, 1);
    EXPECT_EQ(world.last_wait, kWaitWithoutLimit);
    EXPECT_EQ(command(215, {1}), ERR_INVALID_COMMAND);
    EXPECT_EQ(command(215, {1, 2, 3}), ERR_INVALID_COMMAND);
    EXPECT_EQ(api().send_command(215, 1, nullptr, 5), ERR_INVALID_COMMAND)
        << "a null buffer is no bytes";

    EXPECT_EQ(command(18, {2}), ERR_INVALID_COMMAND);
    EXPECT_EQ(command(18, {0}), 0);
    EXPECT_EQ(world.message_receive, false);
    EXPECT_EQ(command(3, {}), 0);
    EXPECT_EQ(world.filters_pass, true);
    EXPECT_EQ(command(17, {}), 0);
    EXPECT_EQ(world.filters_pass, false);

    EXPECT_EQ(command(12, {0xAA, 0x01}), ERR_COMMAND_NOT_SUPPORTED);
    EXPECT_TRUE(log.contains(
        "ERROR qz121032 RP1210_SendCommand: Client 1: Failed to send command 12 [AA 01]: "
        "error code 143"));
    EXPECT_EQ(command(45, {}), 0) << "protocol commands reach the client";

    EXPECT_EQ(command(48, {}), ERR_HARDWARE_NOT_RESPONDING);
    world.bus_type = 3;
    EXPECT_EQ(command(48, {}), 1);
    world.bus_type = 2;
    EXPECT_EQ(command(48, {}), 0);

    EXPECT_EQ(api().send_command(3, 9, nullptr, 0), ERR_INVALID_CLIENT_ID);
}

TEST_F(ApiTest, ResetDeviceShutsTheClientDownAndProbesTheChannel) {
    ASSERT_EQ(connect(), 1);
    const std::pair<std::int32_t, std::int16_t> outcomes[] = {{0, 0},
                                                              {-31, ERR_MULTIPLE_CLIENTS_CONNECTED},
                                                              {-5, ERR_MULTIPLE_CLIENTS_CONNECTED},
                                                              {-3, ERR_HARDWARE_NOT_RESPONDING}};
    for (auto [status, expected] : outcomes) {
        world.probe_status = status;
        EXPECT_EQ(api().send_command(0, 1, nullptr, 0), expected) << status;
    }
    EXPECT_EQ(world.shutdowns, 4);
    world.has_device = false;
    EXPECT_EQ(api().send_command(0, 1, nullptr, 0), ERR_HARDWARE_NOT_RESPONDING);
    EXPECT_EQ(world.shutdowns, 4);
}

TEST_F(ApiTest, IoctlRejectsEveryId) {
    EXPECT_EQ(api().ioctl(1, 1), ERR_DLL_NOT_INITIALIZED);
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(api().ioctl(1, 1), ERR_HARDWARE_NOT_SUPPORTED);
    EXPECT_EQ(api().ioctl(1, 6), ERR_HARDWARE_NOT_SUPPORTED);
    EXPECT_EQ(api().ioctl(1, 3), ERR_INVALID_IOCTL_ID);
    EXPECT_EQ(api().ioctl(1, 0x10000), ERR_INVALID_IOCTL_ID);
    EXPECT_EQ(api().ioctl(1, -1), ERR_INVALID_IOCTL_ID);
    EXPECT_EQ(api().ioctl(2, 1), ERR_INVALID_CLIENT_ID);
    EXPECT_TRUE(
        log.contains("INFO qz121032 RP1210_Ioctl: Ioctl ID 1 is not supported by this hardware."));
    EXPECT_TRUE(log.contains("ERROR qz121032 RP1210_Ioctl: Invalid Ioctl ID: 4294967295"));
}

TEST_F(ApiTest, VersionsAndHardwareStatus) {
    char api_text[17], dll_text[17], fw_text[17];
    EXPECT_EQ(api().read_detailed_version(1, api_text, dll_text, fw_text), ERR_DLL_NOT_INITIALIZED);
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(api().read_detailed_version(1, api_text, dll_text, fw_text), 0);
    EXPECT_STREQ(api_text, "4.0");
    EXPECT_STREQ(dll_text, "6.0.0.17");
    EXPECT_STREQ(fw_text, "0.0.0");
    world.firmware = 0x0005'0002'0000'0123ull;
    EXPECT_EQ(api().read_detailed_version(1, nullptr, nullptr, fw_text), 0);
    EXPECT_STREQ(fw_text, "5.2.291");
    EXPECT_EQ(api().read_detailed_version(3, api_text, dll_text, fw_text), ERR_INVALID_CLIENT_ID);

    std::uint8_t status[100];
    std::memset(status, 0xEE, sizeof status);
    EXPECT_EQ(api().get_hardware_status(1, status, 8), 0);
    EXPECT_EQ(status[0], 1);
    EXPECT_EQ(status[7], 8);
    EXPECT_EQ(status[8], 0xEE) << "only the first 8 bytes are written";
    EXPECT_EQ(api().get_hardware_status(1, status, 100), 0);
    EXPECT_EQ(status[63], 64);
    EXPECT_EQ(status[64], 0xEE);
    EXPECT_EQ(api().get_hardware_status(1, nullptr, 64), 0);
    EXPECT_TRUE(log.contains("INFO qz121032 RP1210_GetHardwareStatus: Client 1, [])"));
    world.has_device = false;
    EXPECT_EQ(api().get_hardware_status(1, status, 4), 0);
    EXPECT_EQ(status[0], 0);
    EXPECT_TRUE(log.contains("RP1210_GetHardwareStatus: Client 1, [00 00 00 00])"));
    EXPECT_EQ(api().get_hardware_status(5, status, 4), ERR_INVALID_CLIENT_ID);
}

TEST_F(ApiTest, LastErrorMessageNeedsAConnectedClient) {
    char text[80];
    std::memset(text, 'x', sizeof text);
    std::int32_t sub_error = 7;
    EXPECT_EQ(api().get_last_error_msg(134, &sub_error, text, 1), ERR_INVALID_CLIENT_ID);
    EXPECT_EQ(sub_error, 7);
    EXPECT_EQ(text[0], 'x');
    ASSERT_EQ(connect(), 1);
    EXPECT_EQ(api().get_last_error_msg(134, &sub_error, text, 1), 0);
    EXPECT_EQ(sub_error, -1);
    EXPECT_STREQ(text, "The specified device ID is invalid.");
    EXPECT_EQ(api().get_last_error_msg(134, nullptr, nullptr, 1), ERR_CODE_NOT_FOUND);
    EXPECT_EQ(api().get_last_error_msg(203, nullptr, text, 1), ERR_CODE_NOT_FOUND);
    ASSERT_EQ(api().client_disconnect(1), 0);
    EXPECT_EQ(api().get_last_error_msg(134, &sub_error, text, 1), ERR_INVALID_CLIENT_ID);
}

TEST_F(ApiTest, ProcessDetachUnloadsTheDriverOnceNoClientUsesIt) {
    ASSERT_EQ(connect(), 1);
    // A connected client's threads still call the driver; a terminating process has
    // lost its other threads, perhaps inside the driver.
    api().process_detach();
    EXPECT_EQ(unloads, 0);
    EXPECT_FALSE(api().initialized());
    ASSERT_EQ(api().client_disconnect(1), 0);
    api().process_detach(true);
    EXPECT_EQ(unloads, 0);
    api().process_detach();
    EXPECT_EQ(unloads, 1);
}

TEST(ProtocolText, NullAndInvalidUtf8) {
    EXPECT_EQ(protocol_text(nullptr), "null");
    EXPECT_EQ(protocol_text("CAN:Baud=500"), "CAN:Baud=500");
    EXPECT_EQ(protocol_text("J1939 \xC3\xA9"), "J1939 \xC3\xA9");
    EXPECT_EQ(protocol_text("CAN\xFF"), "CAN\xEF\xBF\xBD");
    EXPECT_EQ(protocol_text("\xC3"), "\xEF\xBF\xBD") << "truncated sequence";
    EXPECT_EQ(protocol_text("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")
        << "surrogates are not UTF-8";
}

// Client-ID rotation at the registry level.
class ClientRegistryTest : public ::testing::Test {
  protected:
    void connect_as(std::int32_t id) {
        auto slot = std::make_shared<ClientSlot>();
        slot->client.emplace();
        registry.insert(id, slot);
    }
    void disconnect(std::int32_t id) { registry.find(id)->client.reset(); }

    ClientRegistry registry;
};

TEST_F(ClientRegistryTest, RotatesThroughAllIdsBeforeReuse) {
    for (std::int32_t expected = 1; expected <= 127; ++expected) {
        auto id = registry.allocate_id();
        ASSERT_EQ(id, expected);
        connect_as(*id);
    }
    EXPECT_EQ(registry.allocate_id(), std::nullopt) << "all 127 in use";
    disconnect(5);
    EXPECT_EQ(registry.allocate_id(), 5);
    connect_as(5);
    disconnect(3);
    disconnect(100);
    EXPECT_EQ(registry.allocate_id(), 100) << "the search goes on from 6, not from 1";
    EXPECT_EQ(registry.allocate_id(), 3);
}

TEST_F(ClientRegistryTest, DisconnectedIdIsReusedOnlyWhenTheRotationComesRound) {
    for (int i = 0; i < 10; ++i) {
        connect_as(*registry.allocate_id());
    }
    disconnect(5);
    EXPECT_EQ(registry.allocate_id(), 11);
    for (std::int32_t id = 12; id <= 127; ++id) {
        ASSERT_EQ(registry.allocate_id(), id);
    }
    EXPECT_EQ(registry.allocate_id(), 5) << "1 to 4 are connected; 5 is free again";
}

TEST_F(ClientRegistryTest, BusySlotIsSkippedWithoutWaiting) {
    connect_as(*registry.allocate_id());  // 1
    disconnect(1);
    // Another call holds client 1's slot: the rotation starts at 2 anyway, so wrap it round.
    for (std::int32_t id = 2; id <= 127; ++id) {
        connect_as(*registry.allocate_id());
    }
    disconnect(2);
    std::promise<void> holding;
    std::promise<void> release;
    std::thread holder([&] {
        std::lock_guard lock(registry.find(1)->mutex);
        holding.set_value();
        release.get_future().wait();
    });
    holding.get_future().wait();
    EXPECT_EQ(registry.allocate_id(), 2) << "slot 1 is in use by a running call";
    release.set_value();
    holder.join();
    EXPECT_EQ(registry.allocate_id(), 1) << "free again once the call ended";
}

}  // namespace
}  // namespace qz121032
