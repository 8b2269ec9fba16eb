#include "device/OperationReport.h"

namespace kt {

const char* PortOutcomeName(PortOutcome outcome)
{
    switch (outcome) {
    case PortOutcome::Found:
        return "found";
    case PortOutcome::NoSuchDevice:
        return "no_such_device";
    case PortOutcome::NoPermission:
        return "no_permission";
    case PortOutcome::Busy:
        return "busy";
    case PortOutcome::NotATerminal:
        return "not_a_terminal";
    case PortOutcome::NoAnswer:
        return "no_answer";
    case PortOutcome::OtherDevice:
        return "other_device";
    case PortOutcome::Error:
        return "error";
    case PortOutcome::Stopped:
        return "stopped";
    }
    return "error";  // a value outside the enumeration
}

const char* StepOutcomeName(StepOutcome outcome)
{
    switch (outcome) {
    case StepOutcome::Ok:
        return "ok";
    case StepOutcome::Failed:
        return "failed";
    case StepOutcome::Stopped:
        return "stopped";
    case StepOutcome::Skipped:
        return "skipped";
    }
    return "failed";  // a value outside the enumeration
}

const char* StopReasonName(StopReason reason)
{
    switch (reason) {
    case StopReason::None:
        return "none";
    case StopReason::User:
        return "user";
    case StopReason::ProgramError:
        return "program_error";
    case StopReason::DeviceGone:
        return "device_gone";
    case StopReason::NoDevice:
        return "no_device";
    case StopReason::NotConfirmed:
        return "not_confirmed";
    case StopReason::Failed:
        return "failed";
    }
    return "failed";  // a value outside the enumeration
}

std::string DescribePortAttempt(const PortAttempt& attempt)
{
    if (!attempt.detail.empty())
        return attempt.port + ": " + attempt.detail;
    const char* words = "cannot be opened";
    switch (attempt.outcome) {
    case PortOutcome::Found:
        words = "the device answered";
        break;
    case PortOutcome::NoSuchDevice:
        words = "no such device";
        break;
    case PortOutcome::NoPermission:
        words = "permission denied";
        break;
    case PortOutcome::Busy:
        words = "held by another program";
        break;
    case PortOutcome::NotATerminal:
        words = "not a serial port";
        break;
    case PortOutcome::NoAnswer:
        words = "no answer";
        break;
    case PortOutcome::OtherDevice:
        words = "something else answered";
        break;
    case PortOutcome::Error:
        break;
    case PortOutcome::Stopped:
        words = "stopped while trying it";
        break;
    }
    return attempt.port + ": " + words;
}

}  // namespace kt
