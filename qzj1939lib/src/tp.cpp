// Placeholder until the transport protocol lands: single frames only.
#include "tp.hpp"

namespace qzj1939lib {

struct TransportProtocol::Impl {
    TpOptions options;
    TxCommandSender commands;
    EventSender events;
};

TransportProtocol::TransportProtocol() : impl_(std::make_unique<Impl>()) {}
TransportProtocol::~TransportProtocol() = default;

void TransportProtocol::attach(TxCommandSender commands, EventSender events) {
    impl_->commands = std::move(commands);
    impl_->events = std::move(events);
}
void TransportProtocol::detach() {
    impl_->commands.reset();
    impl_->events.reset();
}
bool TransportProtocol::attached() const noexcept {
    return static_cast<bool>(impl_->commands);
}
J1939Result<Ok> TransportProtocol::send(J1939Message, std::optional<std::uint32_t>, Instant) {
    return platform::unexpected(
        tarnlib::TarnlibError{tarnlib::Status::tarnERR_INVHANDLE, "TP handler not initialized"});
}
void TransportProtocol::receive(const J1939Message&, Instant) {}
void TransportProtocol::on_tx_ack(const J1939Message&, Instant) {}
std::optional<Instant> TransportProtocol::timer_step(Instant) {
    return std::nullopt;
}
J1939Result<Ok> TransportProtocol::set_option(std::uint32_t, std::uint32_t) {
    return Ok{};
}
J1939Result<std::uint32_t> TransportProtocol::get_option(std::uint32_t) const {
    return 0u;
}
void TransportProtocol::set_local_address(std::uint8_t, bool) {}
void TransportProtocol::remove_local_address(std::uint8_t) {}

}  // namespace qzj1939lib
