// The reconnecting policy and its callback, for C hosts.
#include "capi/Internal.h"

using veltor::capi::Fail;
using veltor::capi::Guard;
using veltor::capi::NullArgument;

extern "C" {

VELTOR_API veltor_status VELTOR_CALL veltor_set_reconnect(veltor_device* device,
                                                          const veltor_reconnect* policy) {
    return Guard([&] {
        if (device == nullptr || policy == nullptr) {
            return NullArgument(device == nullptr ? "device" : "policy");
        }
        if (policy->size != sizeof(veltor_reconnect)) {
            return Fail(VELTOR_INVALID_ARGUMENT, "policy: size is not sizeof(veltor_reconnect)");
        }
        CVeltor::ReconnectPolicy set;
        set.enabled = policy->enabled != 0;
        set.firstMs = policy->first_ms;
        set.longestMs = policy->longest_ms;
        set.resendUpdate = policy->resend_update != 0;
        device->device.SetReconnect(set);
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_set_reconnect_callback(veltor_device* device,
                                                                   veltor_reconnect_fn fn,
                                                                   void* user) {
    return Guard([&] {
        if (device == nullptr) {
            return NullArgument("device");
        }
        CVeltor::ReconnectListener listener;
        if (fn != nullptr) {
            // The C events have the C++ enumeration's values.
            listener = [fn, user](CVeltor::ReconnectEvent event) {
                fn(user, static_cast<int>(event));
            };
        }
        device->device.SetReconnectListener(std::move(listener));
        return VELTOR_OK;
    });
}

}  // extern "C"

static_assert(int{CVeltor::kLineLost} == VELTOR_RECONNECT_LOST &&
                  int{CVeltor::kLineBack} == VELTOR_RECONNECT_BACK &&
                  int{CVeltor::kUpdateResent} == VELTOR_RECONNECT_UPDATE_RESENT &&
                  int{CVeltor::kUpdateFailed} == VELTOR_RECONNECT_UPDATE_FAILED,
              "the C events are the C++ ones");
