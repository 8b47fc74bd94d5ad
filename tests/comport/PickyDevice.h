// A device that refuses some settings as a UART driver may (rates above
// 115200, 5 data bits), on top of a real one; PickyPort opens such devices.
#pragma once

#include "ComPortsN.h"
#include "device/SerialDevice.h"

#include <cerrno>
#include <memory>

namespace testsupport {

class PickyDevice : public serial::ISerialDevice {
public:
    explicit PickyDevice(std::unique_ptr<serial::ISerialDevice> d) : D(std::move(d)) {}
    bool SetCommState(const serial::DCB& dcb) override {
        if (dcb.BaudRate > 115200 || dcb.ByteSize == 5) {
            serial::SetLastError(EINVAL);
            return false;
        }
        return D->SetCommState(dcb);
    }
    bool SetupComm(std::uint32_t a, std::uint32_t b) override { return D->SetupComm(a, b); }
    bool GetCommState(serial::DCB& d) override { return D->GetCommState(d); }
    bool SetCommTimeouts(const serial::COMMTIMEOUTS& t) override { return D->SetCommTimeouts(t); }
    bool GetCommTimeouts(serial::COMMTIMEOUTS& t) override { return D->GetCommTimeouts(t); }
    bool SetCommMask(std::uint32_t m) override { return D->SetCommMask(m); }
    serial::TWaitResult WaitCommEvent(std::uint32_t& m, serial::TStopSignal& s) override {
        return D->WaitCommEvent(m, s);
    }
    bool ReadFile(void* b, std::uint32_t c, std::uint32_t& r) override {
        return D->ReadFile(b, c, r);
    }
    bool WriteFile(const void* b, std::uint32_t c, std::uint32_t& w) override {
        return D->WriteFile(b, c, w);
    }
    bool ClearCommError(std::uint32_t& e, serial::COMSTAT* s) override {
        return D->ClearCommError(e, s);
    }
    bool PurgeComm(std::uint32_t f) override { return D->PurgeComm(f); }
    bool EscapeCommFunction(std::uint32_t f) override { return D->EscapeCommFunction(f); }
    bool GetCommModemStatus(std::uint32_t& s) override { return D->GetCommModemStatus(s); }

private:
    std::unique_ptr<serial::ISerialDevice> D;
};

class PickyPort : public TComPortN {
protected:
    std::unique_ptr<serial::ISerialDevice> OpenDevice(const std::string& name) override {
        auto d = TComPortN::OpenDevice(name);
        return d ? std::make_unique<PickyDevice>(std::move(d)) : nullptr;
    }
};

} // namespace testsupport
