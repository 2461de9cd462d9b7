// ser2net is a Linux program: the bridge tests run in the native build only.
#include "support/SerialBridge.h"

Ser2netBridge::~Ser2netBridge() = default;

bool Ser2netBridge::Available(std::string& reason) {
    reason = "ser2net runs natively only";
    return false;
}

bool Ser2netBridge::Start(const std::string&, const std::string&, std::string& error) {
    error = "ser2net runs natively only";
    return false;
}

void Ser2netBridge::Stop() {}
