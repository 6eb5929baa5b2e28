// Finding the port through the C interface: the list is the C++ listing,
// held behind an opaque handle and read field by field.
#include <veltor/Ports.h>

#include <vector>

#include "capi/Internal.h"

struct veltor_port_list {
    std::vector<veltor::PortInfo> ports;
};

using veltor::capi::Fail;
using veltor::capi::Guard;
using veltor::capi::NullArgument;

namespace {

// The port at `index`, or null with the thread's message.
const veltor::PortInfo* PortAt(const veltor_port_list* list, size_t index) {
    if (index >= list->ports.size()) {
        Fail(VELTOR_INVALID_ARGUMENT, "no port " + std::to_string(index) + " in a list of " +
                                          std::to_string(list->ports.size()));
        return nullptr;
    }
    return &list->ports[index];
}

}  // namespace

extern "C" {

VELTOR_API veltor_status VELTOR_CALL veltor_list_ports(const veltor_port_options* options,
                                                       veltor_port_list** list) {
    return Guard([&] {
        if (list == nullptr) {
            return NullArgument("list");
        }
        *list = nullptr;
        veltor::PortListOptions chosen;
        if (options != nullptr) {
            if (options->size != sizeof(veltor_port_options)) {
                return Fail(VELTOR_INVALID_ARGUMENT,
                            "options: size is not sizeof(veltor_port_options)");
            }
            if ((options->baud_indexes == nullptr && options->baud_count != 0) ||
                (options->extra_paths == nullptr && options->extra_count != 0)) {
                return NullArgument(options->baud_indexes == nullptr ? "baud_indexes"
                                                                     : "extra_paths");
            }
            chosen.probe = options->probe != 0;
            chosen.systemPorts = options->only_extra_paths == 0;
            if (options->baud_count != 0) {
                chosen.baudIndexes.assign(options->baud_indexes,
                                          options->baud_indexes + options->baud_count);
            }
            for (size_t i = 0; i < options->extra_count; ++i) {
                if (options->extra_paths[i] == nullptr) {
                    return NullArgument("extra_paths[i]");
                }
                chosen.extraPaths.push_back(options->extra_paths[i]);
            }
            for (int baudIndex : chosen.baudIndexes) {
                if (CSerDev::BaudRate(baudIndex) == 0) {
                    return Fail(VELTOR_INVALID_ARGUMENT,
                                "no such baud index: " + std::to_string(baudIndex));
                }
            }
        }
        std::unique_ptr<veltor_port_list> made(new veltor_port_list);
        made->ports = veltor::ListPorts(chosen);
        *list = made.release();
        return VELTOR_OK;
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_port_list_free(veltor_port_list* list) {
    if (list == nullptr) {
        return NullArgument("list");
    }
    delete list;
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_port_count(const veltor_port_list* list,
                                                       size_t* count) {
    if (list == nullptr || count == nullptr) {
        return NullArgument(list == nullptr ? "list" : "count");
    }
    *count = list->ports.size();
    return VELTOR_OK;
}

VELTOR_API veltor_status VELTOR_CALL veltor_port_get_text(const veltor_port_list* list,
                                                          size_t index, int which, char* buffer,
                                                          size_t size, size_t* needed) {
    return Guard([&] {
        if (list == nullptr || needed == nullptr) {
            return NullArgument(list == nullptr ? "list" : "needed");
        }
        const veltor::PortInfo* port = PortAt(list, index);
        if (port == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        const std::string* const texts[] = {
            &port->path,         &port->stableName, &port->description,  &port->bus,
            &port->manufacturer, &port->product,    &port->serialNumber, &port->probeNote,
        };
        if (which < 0 || which >= static_cast<int>(sizeof(texts) / sizeof(texts[0]))) {
            return Fail(VELTOR_INVALID_ARGUMENT, "no port text " + std::to_string(which));
        }
        return veltor::capi::CopyText(*texts[which], buffer, size, needed);
    });
}

VELTOR_API veltor_status VELTOR_CALL veltor_port_get_numbers(const veltor_port_list* list,
                                                             size_t index,
                                                             veltor_port_numbers* numbers) {
    return Guard([&] {
        if (list == nullptr || numbers == nullptr) {
            return NullArgument(list == nullptr ? "list" : "numbers");
        }
        if (numbers->size != sizeof(veltor_port_numbers)) {
            return Fail(VELTOR_INVALID_ARGUMENT,
                        "numbers: size is not sizeof(veltor_port_numbers)");
        }
        const veltor::PortInfo* port = PortAt(list, index);
        if (port == nullptr) {
            return VELTOR_INVALID_ARGUMENT;
        }
        numbers->vendor_id = port->vendorId;
        numbers->product_id = port->productId;
        numbers->probe = static_cast<int>(port->probe);
        numbers->probe_baud_index = port->probeBaudIndex;
        return VELTOR_OK;
    });
}

}  // extern "C"
