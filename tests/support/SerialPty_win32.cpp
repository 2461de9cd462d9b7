// Pseudo-terminal pairs do not exist on Windows; serial tests that need one skip there.
#include "support/SerialPty.h"

bool PseudoTerminalsAvailable() { return false; }

SerialPty::~SerialPty() = default;

bool SerialPty::Create(std::string& error) {
    error = "no pseudo-terminals on Windows";
    return false;
}

bool SerialPty::Send(const std::string&) { return false; }
std::string SerialPty::Receive(size_t, unsigned int) { return {}; }
void SerialPty::CloseMaster() {}
bool SerialPty::Settings(SerialLineSettings&) { return false; }
bool SerialPty::SetBaud(unsigned int) { return false; }
bool SerialPty::HoldTerminal() { return false; }
bool SerialPty::IsExclusive(bool&) { return false; }
