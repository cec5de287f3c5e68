// What the machine's SoC reports about its DSPs: from the SoC service
// library when one can be loaded, else from built-in chip data.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace soc {

struct DspDevice {
    std::string name;      // "cdsp", "adsp", ...
    uint32_t archVersion;  // 68 for version 68; 0 when unknown
};

class SocInfo {
public:
    SocInfo(int32_t id, std::string name, std::vector<DspDevice> devices)
        : builtinDsps_(std::move(devices)), id_(id), name_(std::move(name)) {}
    virtual ~SocInfo() = default;
    int32_t id() const { return id_; }
    const std::string& name() const { return name_; }
    // Computed on first use and cached.
    const std::vector<DspDevice>& dspDevices();

protected:
    virtual std::vector<DspDevice> queryDspDevices() { return builtinDsps_; }
    std::vector<DspDevice> builtinDsps_;

private:
    int32_t id_;
    std::string name_;
    std::once_flag once_;
    std::vector<DspDevice> dsps_;
};

// Asks the SoC service library first and falls back to the built-in data.
class HybridSocInfo : public SocInfo {
public:
    using SocInfo::SocInfo;

protected:
    std::vector<DspDevice> queryDspDevices() override;
};

// Chip identifier from the firmware tables; 0 when unknown.
int32_t detectChip();
std::shared_ptr<SocInfo> socInfoFor(int32_t chip);
std::shared_ptr<SocInfo> socInfoForThisMachine();

// The capability call with the status-5 retry; throws std::runtime_error.
using GetCapabilityFn = int (*)(uint32_t key, uint32_t index, uint8_t* buffer, uint32_t* size);
std::vector<uint8_t> getCapability(GetCapabilityFn fn, uint32_t key, uint32_t index);

}  // namespace soc

// Architecture version of the first DSP device; 0 when there is none.
uint32_t dspArchitectureVersion();

// True when the reported DSP architecture version is 68 or higher.
bool isKtpDevice();
