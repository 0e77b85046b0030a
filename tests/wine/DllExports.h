// The exports of TarvikDLL.dll as the Windows test programs see them: each name is an object in
// tarvik::e2e that calls the function GetProcAddress found under that name, so that the shared
// cases (which call ReadFlow(...) inside tarvik::e2e) go through the loaded DLL.
#pragma once

#include <stdexcept>
#include <string>

#include "TarvikDLL.h"

// Every export name, in the order of the export table.
#define TARVIK_EXPORT_NAMES(X)                                                                               \
    X(ReadFlow)                                                                                              \
    X(ReadSetPoint)                                                                                          \
    X(WriteSetPoint)                                                                                         \
    X(ReadDeviceID)                                                                                          \
    X(ReadTAG)                                                                                               \
    X(ReadAddStatus)                                                                                         \
    X(ReadGasData)                                                                                           \
    X(ReadProcessGasType)                                                                                    \
    X(ReadOperationalSettings)                                                                               \
    X(SelectFlowUnit)                                                                                        \
    X(SelectGasNumber)                                                                                       \
    X(ReadVORState)                                                                                          \
    X(WriteVORState)                                                                                         \
    X(ReadTotalizerState)                                                                                    \
    X(WriteTotalizerState)                                                                                   \
    X(ReadTotalizer)                                                                                         \
    X(ReadPressure)                                                                                          \
    X(ReadFullScaleRangePressure)                                                                            \
    X(SelectPressureUnit)                                                                                    \
    X(SelectPressureApplication)                                                                             \
    X(ReadOperationalSettingsPressure)                                                                       \
    X(WriteProtectS)                                                                                         \
    X(BackupDatabaseS)                                                                                       \
    X(TestComs_0731)                                                                                         \
    X(ReadSetPointSource_0731)                                                                               \
    X(WriteSerialSetPointSource_0731)                                                                        \
    X(WriteManualSetPointSource_0731)                                                                        \
    X(WriteVORState_0731)                                                                                    \
    X(ReadMeasureUnit_0731)                                                                                  \
    X(ReadTimeUnit_0731)                                                                                     \
    X(ReadFullScale_0731)                                                                                    \
    X(ReadDecimalPlace_0731)                                                                                 \
    X(WriteDecimalPlace_0731)                                                                                \
    X(ReadProcessVariable_0731)                                                                              \
    X(ReadSetPoint_0731)                                                                                     \
    X(WriteSetPoint_0731)

namespace tarvik::e2e {

struct MissingExport : std::runtime_error {
    explicit MissingExport(const char* name) : std::runtime_error(std::string("export not found: ") + name) {}
};

template <class F>
class Export;

template <class R, class... A>
class Export<R (*)(A...)> {
public:
    using Function = R (*)(A...);
    explicit Export(const char* name) : name_(name) {}
    const char* Name() const { return name_; }
    void Bind(Function f) { f_ = f; }
    bool Bound() const { return f_ != nullptr; }
    R operator()(A... args) const {
        if (f_ == nullptr) throw MissingExport(name_);
        return f_(args...);
    }

private:
    const char* name_;
    Function f_ = nullptr;
};

#define TARVIK_E2E_DECLARE_EXPORT(name) extern Export<decltype(&::name)> name;
TARVIK_EXPORT_NAMES(TARVIK_E2E_DECLARE_EXPORT)
#undef TARVIK_E2E_DECLARE_EXPORT

// Loads the DLL and binds every export by name. Returns false (and says why in `problems`) when
// the DLL does not load or a name is missing.
bool LoadExports(const std::string& dllPath, std::string& problems);

} // namespace tarvik::e2e
