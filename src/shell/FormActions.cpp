#include "shell/FormActions.h"

#include "serial/PortList.h"
#include "serial/SpSafeSync.h"

#include <cstdio>

namespace kt {

const char* const FormActions::kStopTransferQuestion =
    "Прервать обновление?\rПрошивка ТЕЛВИКСа останется неполной, и его работа будет неправильной\r"
    "до повторного обновления.";

bool FormActions::StopKey()
{
    if (!session_.InOperation())
        return false;
    if (session_.StopRequested())
        return true;
    if (session_.InTransfer() && view_.ShowDialog(kStopTransferQuestion, DialogKind::Confirmation,
                                                  DialogButtons::YesNoDefaultNo) != ModalResult::Yes)
        return true;
    session_.Abort();  // the running wait gives up; the operation ends with its failure lines
    return true;
}

void FormActions::Run(bool (DeviceSession::*operation)())
{
    // No exception may leave into the window's event loop.
    try {
        (session_.*operation)();
    } catch (...) {
        ShowProgramError(std::current_exception());
    }
}

void FormActions::ShowProgramError(const std::exception_ptr& error)
{
    session_.Fault();
    const std::string text = serial::ExceptionText(error);
    if (showingError_) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    showingError_ = true;
    view_.ShowDialog(text, DialogKind::Error, DialogButtons::Ok);
    showingError_ = false;
}

void FormActions::UseSimulatedDevice(serial::TSpComPort& comm, const std::string& port,
                                     serial::SerialDeviceFactory device)
{
    if (!rememberedPort_)
        rememberedPort_ = session_.PortName;
    comm.SetDeviceFactory(std::move(device));
    session_.PortName = port;
    serial::SetPortListOverride(std::vector<std::string>{});
}

std::string FormActions::PackageArgument(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 1; i < arguments.size(); ++i)
        if (arguments[i].rfind("--", 0) != 0)
            return arguments[i];
    return {};
}

}  // namespace kt
