// The host's C callbacks: delay reports and the wire trace.
#include "capi/Internal.h"

using veltor::capi::Guard;
using veltor::capi::NullArgument;

extern "C" {

VELTOR_API veltor_status VELTOR_CALL veltor_set_report_callback(veltor_device* device,
                                                                veltor_report_fn fn, void* user) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        CVeltor::ReportListener listener;
        if (fn != nullptr) {
            listener = [fn, user](char channel, unsigned int counts, double seconds,
                                  long long timeNs) { fn(user, channel, counts, seconds, timeNs); };
        }
        // Not under the device's lock: the previous callback may be running
        // a command, and this waits for it to return.
        device->device.SetReportListener(std::move(listener));
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_dropped_reports(veltor_device* device,
                                                            unsigned long long* count) {
    return Guard([&] {
        if (device == nullptr || count == nullptr) {
            return NullArgument(device == nullptr ? "device" : "count");
        }
        *count = device->device.GetDroppedReportCount();
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_set_trace(veltor_device* device, veltor_trace_fn fn,
                                                      void* user) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        CSerDev::TraceListener trace;
        if (fn != nullptr) {
            trace = [fn, user](const CSerDev::TraceEvent& event) {
                veltor_trace_event out;
                out.size = sizeof(out);
                out.kind = event.kind == CSerDev::TraceEvent::kRequest  ? VELTOR_TRACE_REQUEST
                           : event.kind == CSerDev::TraceEvent::kAnswer ? VELTOR_TRACE_ANSWER
                                                                        : VELTOR_TRACE_UNASKED;
                out.bytes = event.bytes;
                out.count = event.count;
                out.time_ns = event.timeNs;
                out.status = event.status != nullptr ? event.status : "";
                fn(user, &out);
            };
        }
        device->device.SetTrace(std::move(trace));
        return VELTOR_OK;
    });
}

}  // extern "C"
