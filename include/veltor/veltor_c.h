/** @file
 * The flat C interface of the veltor library: one instrument behind an
 * opaque handle, plain C types only, valid C99/C11 and C++.
 *
 * Rules that hold for every function here (docs/c-interface.md explains them
 * at length):
 *
 *  - Every function returns a #veltor_status; #VELTOR_OK (0) is success. No
 *    C++ exception crosses this interface.
 *  - Every pointer argument is checked: NULL gives #VELTOR_INVALID_ARGUMENT.
 *    The exceptions are stated where they apply: a callback function pointer
 *    may be NULL (it switches the callback off), a callback's user pointer is
 *    passed through untouched, and a text buffer may be NULL when its size is
 *    0 (to learn the size needed).
 *  - A failing call stores a message for the calling thread, read with
 *    veltor_last_message(): each thread reads the reason of its own last
 *    failed call, whatever other threads do with the same device meanwhile.
 *    A successful call leaves it as it was.
 *  - Texts that change are copied into the caller's buffer (`buffer`, `size`,
 *    `needed`): `*needed` always gets the length with its terminating NUL;
 *    when the buffer is smaller the call copies what fits, terminated, and
 *    returns #VELTOR_BUFFER_TOO_SMALL. Texts that never change (version,
 *    status and outcome names) are handed out as `const char *` to static
 *    storage.
 *  - A command that talks to the instrument returns #VELTOR_NOT_CONNECTED
 *    when the device is not connected or its port was lost, and
 *    #VELTOR_COMMAND_FAILED when the exchange fails on a connected line.
 *  - Channels are named by their letter, 'A' to 'H' or 'a' to 'h'; any other
 *    letter gives #VELTOR_INVALID_ARGUMENT.
 *  - A device may be used from several threads at once; each command runs
 *    whole while others wait. Do not destroy a device while another thread
 *    or one of its callbacks still uses it.
 *
 * Calling convention: on Windows every function and every callback type is
 * `__cdecl`, fixed by #VELTOR_CALL, whatever the compiler's default; the
 * names are exported undecorated ("veltor_create"). Elsewhere #VELTOR_CALL is
 * empty.
 */
#ifndef VELTOR_VELTOR_C_H
#define VELTOR_VELTOR_C_H

#include <stddef.h>
#include <veltor/version.h>

#ifdef __cplusplus
#include <veltor/export.h>
#else
/** @cond INTERNAL */
/* export.h also declares C++ types; C takes the same macro from here. */
#if defined(_WIN32)
#if defined(VELTOR_STATIC)
#define VELTOR_API
#elif defined(VELTOR_BUILDING)
#define VELTOR_API __declspec(dllexport)
#else
#define VELTOR_API __declspec(dllimport)
#endif
#else
#define VELTOR_API __attribute__((visibility("default")))
#endif
/** @endcond */
#endif

/** @def VELTOR_CALL
 * The calling convention of every function and callback type: `__cdecl` on
 * Windows, empty elsewhere. Declare the callbacks passed to the library with
 * it: `void VELTOR_CALL on_report(void* user, ...)`.
 */
#if defined(_WIN32)
#define VELTOR_CALL __cdecl
#else
#define VELTOR_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------- */

/** What a call did: every function returns one of these. */
typedef enum veltor_status {
    VELTOR_OK = 0, /**< Success. */
    /** A NULL pointer, a letter that names no channel, an unknown mode kind,
     * a struct whose size field this library does not know, a baud index
     * outside 0..6. Nothing was done. */
    VELTOR_INVALID_ARGUMENT = 1,
    /** The text did not fit: the buffer holds its start, `*needed` the size.
     * Call again with a buffer of `*needed` bytes. */
    VELTOR_BUFFER_TOO_SMALL = 2,
    /** The port could not be opened or configured; the message names the
     * port and the step. */
    VELTOR_CONNECT_FAILED = 3,
    /** The device is not connected, or its port was lost: nothing was sent,
     * or the line went away. Connect again. */
    VELTOR_NOT_CONNECTED = 4,
    /** The host refused before sending: a timing mode out of range, logic
     * text that does not compile, no timing mode. Fix the settings; the
     * message says which. */
    VELTOR_REJECTED = 5,
    /** The exchange failed on a connected line: no answer, refused by the
     * instrument, a bad checksum... veltor_last_outcome() tells which. */
    VELTOR_COMMAND_FAILED = 6,
    /** Memory ran out. */
    VELTOR_NO_MEMORY = 7,
    /** An unexpected failure inside the library (a bug): see the message. */
    VELTOR_INTERNAL_ERROR = 8
} veltor_status;

/** Sets `*name` to the status's name ("VELTOR_OK", ...), static text;
 * "unknown status" for any other value. */
VELTOR_API veltor_status VELTOR_CALL veltor_status_name(int status, const char** name);

/** Copies the message of the calling thread's last failed call ("" before
 * any) by the buffer rules of this file; #VELTOR_BUFFER_TOO_SMALL when it
 * does not fit. Reading it never changes it. */
VELTOR_API veltor_status VELTOR_CALL veltor_last_message(char* buffer, size_t size, size_t* needed);

/* ---- Version ------------------------------------------------------------ */

/** The version of the library loaded, to compare with VELTOR_VERSION_* of
 * the headers compiled against. */
VELTOR_API veltor_status VELTOR_CALL veltor_version(int* major, int* minor, int* patch);
/** Sets `*version` to the loaded library's version as static text
 * ("1.2.3"). */
VELTOR_API veltor_status VELTOR_CALL veltor_version_string(const char** version);

/* ---- Device and connection ---------------------------------------------- */

/** One instrument and its connection, behind an opaque handle: made by
 * veltor_create(), released by veltor_destroy(). */
typedef struct veltor_device veltor_device;

/** Baud indices of the connect calls. */
enum {
    VELTOR_BAUD_2400 = 0,  /**< 2400 baud */
    VELTOR_BAUD_4800 = 1,  /**< 4800 baud */
    VELTOR_BAUD_9600 = 2,  /**< 9600 baud */
    VELTOR_BAUD_19200 = 3, /**< 19200 baud */
    VELTOR_BAUD_38400 = 4, /**< 38400 baud */
    VELTOR_BAUD_57600 = 5, /**< 57600 baud */
    VELTOR_BAUD_115200 = 6 /**< 115200 baud */
};

/** Makes a device, not connected, with the default general properties and
 * timing modes; `*device` gets it. #VELTOR_NO_MEMORY when memory ran out. */
VELTOR_API veltor_status VELTOR_CALL veltor_create(veltor_device** device);
/** Closes the connection, stops the callbacks and releases the device and
 * the timing modes set through it. */
VELTOR_API veltor_status VELTOR_CALL veltor_destroy(veltor_device* device);

/** Connects to a serial port by number: 1 and up (COMn on Windows,
 * /dev/ttyS(n-1) on Linux) at the speed of a VELTOR_BAUD_* index. A
 * connected device is disconnected first. Sends the instrument's 1024-byte
 * filler burst. #VELTOR_CONNECT_FAILED when the port cannot be opened or
 * configured. */
VELTOR_API veltor_status VELTOR_CALL veltor_connect_port(veltor_device* device, int port,
                                                         int baud_index);
/** Connects as veltor_connect_port() does, to a device path
 * (`"/dev/ttyUSB0"`, `"\\\\.\\COM12"`). */
VELTOR_API veltor_status VELTOR_CALL veltor_connect_path(veltor_device* device, const char* path,
                                                         int baud_index);
/** Closes the port. From any thread: a command in progress elsewhere ends
 * promptly. */
VELTOR_API veltor_status VELTOR_CALL veltor_disconnect(veltor_device* device);
/** Ends the command in progress on the device, whichever thread runs it, at
 * once: it fails with the outcome #VELTOR_OUTCOME_CANCELLED and the port
 * stays open. A request already written may or may not have been carried
 * out. From any thread but a signal handler. */
VELTOR_API veltor_status VELTOR_CALL veltor_cancel_command(veltor_device* device);
/** Sets `*connected` to 1 while the port is open, 0 once it is closed or
 * lost. */
VELTOR_API veltor_status VELTOR_CALL veltor_is_connected(veltor_device* device, int* connected);

/* ---- Device-wide commands ----------------------------------------------- */

/** Switches all outputs on. */
VELTOR_API veltor_status VELTOR_CALL veltor_enable_outputs(veltor_device* device);
/** Switches all outputs off. */
VELTOR_API veltor_status VELTOR_CALL veltor_disable_outputs(veltor_device* device);
/** Locks the instrument's front panel. */
VELTOR_API veltor_status VELTOR_CALL veltor_lock_panel(veltor_device* device);
/** Unlocks the instrument's front panel. */
VELTOR_API veltor_status VELTOR_CALL veltor_unlock_panel(veltor_device* device);
/** Resets all channels. */
VELTOR_API veltor_status VELTOR_CALL veltor_reset_all(veltor_device* device);
/** Sends the clock options of the general properties: each pair's clock
 * source and the panel and output flags. */
VELTOR_API veltor_status VELTOR_CALL veltor_set_clock(veltor_device* device);
/** Sends the timing modes of A to H in turn; stops at the first failure
 * (#VELTOR_REJECTED when that mode was refused on the host). */
VELTOR_API veltor_status VELTOR_CALL veltor_set_all_modes(veltor_device* device);
/** Sends logic, clock options and timing modes, with the panel locked and
 * the outputs off meanwhile. The first failing step stops it and leaves the
 * panel locked and the outputs off; the message names the step. */
VELTOR_API veltor_status VELTOR_CALL veltor_update_all(veltor_device* device);
/** Loads the logic of A to H into the instrument in turn; stops at the first
 * failure (#VELTOR_REJECTED when that logic does not compile). */
VELTOR_API veltor_status VELTOR_CALL veltor_transfer_all_logic(veltor_device* device);
/** Puts the loaded logic of all channels into effect. */
VELTOR_API veltor_status VELTOR_CALL veltor_implement_logic(veltor_device* device);

/** The device-wide general properties. Clock-source codes of the pairs:
 * 0 200 MHz, 1 3.125 MHz, 2 twice the reference, 3 one sixty-fourth of
 * that; veltor_set_general() refuses any other code with
 * #VELTOR_INVALID_ARGUMENT and changes nothing. Flags are 0 or nonzero. */
typedef struct veltor_general {
    size_t size;         /**< sizeof(veltor_general), set by the caller */
    int clock_ab;        /**< clock source of channels A and B */
    int clock_cd;        /**< clock source of channels C and D */
    int clock_ef;        /**< clock source of channels E and F */
    int clock_gh;        /**< clock source of channels G and H */
    double ref_clock_hz; /**< the reference clock in Hz (sources 2 and 3) */
    int lock_panel;      /**< keep the front panel locked */
    int disable_outputs; /**< keep the outputs off */
} veltor_general;

/** Fills `*general`, whose size field the caller sets, from the device;
 * #VELTOR_INVALID_ARGUMENT for a size this library does not know. */
VELTOR_API veltor_status VELTOR_CALL veltor_get_general(veltor_device* device,
                                                        veltor_general* general);
/** Replaces the general properties. Takes effect for every later time
 * conversion at once; reaches the instrument with veltor_set_clock() or
 * veltor_update_all(). */
VELTOR_API veltor_status VELTOR_CALL veltor_set_general(veltor_device* device,
                                                        const veltor_general* general);
/** Sets `*hz` to the clock frequency of the channel's pair. */
VELTOR_API veltor_status VELTOR_CALL veltor_clock_frequency(veltor_device* device, char channel,
                                                            double* hz);

/* ---- Channel commands --------------------------------------------------- */

/** Enables the channel. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_enable(veltor_device* device, char channel);
/** Disables the channel. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_disable(veltor_device* device, char channel);
/** Triggers the channel once, as if its logic input fired. Never sent twice
 * for one call: it is repeated only when the instrument refused it or it
 * could not be written. After no answer, or a garbled, cut or late one, it
 * fails at once (VELTOR_COMMAND_FAILED) and the message says the trigger may
 * or may not have been carried out. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_force_trigger(veltor_device* device,
                                                                  char channel);
/** Resets the channel. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_reset(veltor_device* device, char channel);
/** Asks the instrument for the channel's delay; `*seconds` gets it. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_query(veltor_device* device, char channel,
                                                          double* seconds);
/** The last delay (from a query or a delay report), in seconds at the pair's
 * clock as the general properties give it now. Sends nothing. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_last_delay(veltor_device* device, char channel,
                                                               double* seconds);
/** Sets `*count` to the delay reports the instrument sent for the channel so
 * far. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_report_count(veltor_device* device,
                                                                 char channel,
                                                                 unsigned long* count);

/* ---- Timing modes ------------------------------------------------------- */

/** The kinds of timing mode, each with its record (named beside it).
 *
 * Every mode record starts with `size_t size`, which the caller sets to
 * sizeof the record (veltor_mode_defaults() does). A later version may add
 * fields at the end of a record; the library accepts each size it knows and
 * refuses one it does not (#VELTOR_INVALID_ARGUMENT), so a record never is
 * read past its end nor half ignored. Times are in seconds; flags 0 or
 * nonzero. */
typedef enum veltor_mode_kind {
    VELTOR_MODE_NULL = 0,      /**< no output: #veltor_mode_output */
    VELTOR_MODE_PASSIVE = 1,   /**< passive output: #veltor_mode_output */
    VELTOR_MODE_TOGGLE = 2,    /**< toggling output: #veltor_mode_output */
    VELTOR_MODE_DELAY = 3,     /**< delayed pulse: #veltor_mode_delay */
    VELTOR_MODE_DYN_DELAY = 4, /**< averaged delayed pulse: #veltor_mode_dyn_delay */
    VELTOR_MODE_COUNT = 5,     /**< counter: #veltor_mode_count */
    VELTOR_MODE_UPDOWN = 6,    /**< scaled pulse: #veltor_mode_updown */
    VELTOR_MODE_VALIDATE = 7,  /**< validating pulse: #veltor_mode_validate */
    VELTOR_MODE_CLOCK = 8      /**< square wave: #veltor_mode_clock */
} veltor_mode_kind;

/** The trigger options of the delay, up/down and validate modes. */
typedef struct veltor_trigger {
    int option1;    /**< trigger option 1: option byte bit 1 */
    int option2;    /**< trigger option 2: option byte bit 2 */
    int kind;       /**< 1: mode byte bit 6; anything but 2: mode byte bit 4 */
    int value;      /**< trigger value; its low 24 bits are sent */
    int value_mode; /**< what the value does: 0 off, 1 on, anything else low */
    int value_flag; /**< value flag; ignored while value_mode is 0 */
} veltor_trigger;

/** Null (no output), passive and toggle: only the output's sense. */
typedef struct veltor_mode_output {
    size_t size; /**< sizeof(veltor_mode_output) */
    int invert;  /**< the output idles (toggle: starts) high instead of low */
} veltor_mode_output;

/** The delay mode: a pulse at a delay after the trigger, with an optional
 * sweep. */
typedef struct veltor_mode_delay {
    size_t size;            /**< sizeof(veltor_mode_delay) */
    double delay;           /**< seconds from the trigger to the pulse */
    double duration;        /**< length of the pulse in seconds */
    int invert;             /**< the output idles high, the pulse is low */
    int mode_bit3;          /**< an instrument option flag, sent as it is */
    int sweep_enable;       /**< sweep on */
    double sweep;           /**< sweep time in seconds; checked only while the sweep is on */
    veltor_trigger trigger; /**< trigger options */
} veltor_mode_delay;

/** The dynamic delay mode: the delay mode with averaging instead of the
 * trigger options. */
typedef struct veltor_mode_dyn_delay {
    size_t size;      /**< sizeof(veltor_mode_dyn_delay) */
    double delay;     /**< seconds from the trigger to the pulse */
    double duration;  /**< length of the pulse in seconds */
    int invert;       /**< the output idles high, the pulse is low */
    int mode_bit3;    /**< an instrument option flag, sent as it is */
    int sweep_enable; /**< sweep on */
    double sweep;     /**< sweep time in seconds; checked only while the sweep is on */
    int average;      /**< averaging amount, low 8 bits sent */
} veltor_mode_dyn_delay;

/** The count mode. */
typedef struct veltor_mode_count {
    size_t size;      /**< sizeof(veltor_mode_count) */
    int counter_mode; /**< the counter selector, 0..255 */
    int option;       /**< for the host's own use; not sent */
    int setting;      /**< for the host's own use; not sent */
} veltor_mode_count;

/** The up/down mode: a pulse whose delay may be negative, with a scaling
 * byte. */
typedef struct veltor_mode_updown {
    size_t size;            /**< sizeof(veltor_mode_updown) */
    double delay;           /**< seconds from the trigger to the pulse; may be negative */
    double duration;        /**< length of the pulse in seconds */
    int invert;             /**< the output idles high, the pulse is low */
    int mode_bit3;          /**< an instrument option flag, sent as it is */
    int use_first;          /**< send `first` (else `second`) as the scaling byte */
    int first;              /**< the first scaling value, 8 bits */
    int second;             /**< the second scaling value, 8 bits */
    veltor_trigger trigger; /**< trigger options */
} veltor_mode_updown;

/** The validate mode: the delay mode without the sweep, with its own
 * minimum delay and duration. */
typedef struct veltor_mode_validate {
    size_t size;            /**< sizeof(veltor_mode_validate) */
    double delay;           /**< seconds from the trigger to the pulse */
    double duration;        /**< length of the pulse in seconds */
    int invert;             /**< the output idles high, the pulse is low */
    int mode_bit3;          /**< an instrument option flag, sent as it is */
    veltor_trigger trigger; /**< trigger options */
} veltor_mode_validate;

/** The clock mode: a square wave, high for `delay` and low for
 * `duration`. */
typedef struct veltor_mode_clock {
    size_t size;     /**< sizeof(veltor_mode_clock) */
    double delay;    /**< the high time in seconds */
    double duration; /**< the low time in seconds */
    int invert;      /**< the wave starts low */
} veltor_mode_clock;

/** Fills the record of `kind` with the library's defaults and its size;
 * `size` is the caller's sizeof of that record. #VELTOR_INVALID_ARGUMENT for
 * an unknown kind or a size this library does not know for it. */
VELTOR_API veltor_status VELTOR_CALL veltor_mode_defaults(int kind, void* record, size_t size);
/** Gives the channel a timing mode of `kind` made from `record` (the record
 * of that kind). The device keeps its own copy: the record may go after the
 * call. Nothing is sent: see veltor_channel_send_mode(). */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_set_mode(veltor_device* device, char channel,
                                                             int kind, const void* record);
/** Puts the channel back to the default mode (null output) of every
 * channel. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_clear_mode(veltor_device* device, char channel);
/** Checks the channel's mode against the intervals of its clock, sending
 * nothing: #VELTOR_REJECTED with every time out of range in the message. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_check_mode(veltor_device* device, char channel);
/** Checks and sends the channel's timing mode; #VELTOR_REJECTED, sending
 * nothing, when the check fails. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_send_mode(veltor_device* device, char channel);

/* ---- Logic -------------------------------------------------------------- */

/** Sets the channel's logic text ("inA = in1 & in2;"); #VELTOR_REJECTED when
 * it does not parse, with its line in `*line` (0: none). The text is kept
 * either way, as in the C++ class; veltor_channel_compile_logic() finds what
 * parses but cannot be compiled. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_set_logic(veltor_device* device, char channel,
                                                              const char* text, int* line);
/** Copies the channel's logic text by the buffer rules of this file. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_get_logic(veltor_device* device, char channel,
                                                              char* buffer, size_t size,
                                                              size_t* needed);
/** Compiles the channel's logic against the global symbols, sending
 * nothing; on #VELTOR_REJECTED `*line` is the line at fault (0: none). */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_compile_logic(veltor_device* device,
                                                                  char channel, int* line);
/** The message of the channel's last compile or transfer ("No errors." after
 * a good one), by the buffer rules of this file, and its line in `*line`
 * (0: none). */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_logic_error(veltor_device* device, char channel,
                                                                int* line, char* buffer,
                                                                size_t size, size_t* needed);
/** The logic code of the last good compile (may be empty): bytes, no NUL;
 * `*needed` gets their count, #VELTOR_BUFFER_TOO_SMALL when they do not
 * fit. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_logic_code(veltor_device* device, char channel,
                                                               unsigned char* buffer, size_t size,
                                                               size_t* needed);
/** Compiles the channel's logic and loads it into the instrument, to take
 * effect with veltor_implement_logic(); #VELTOR_REJECTED, sending nothing,
 * when it does not compile. */
VELTOR_API veltor_status VELTOR_CALL veltor_channel_transfer_logic(veltor_device* device,
                                                                   char channel);

/** Sets the global logic text; #VELTOR_REJECTED when it does not compile,
 * with its line in `*line` (0: none). */
VELTOR_API veltor_status VELTOR_CALL veltor_set_global_logic(veltor_device* device,
                                                             const char* text, int* line);
/** Copies the global logic text by the buffer rules of this file. */
VELTOR_API veltor_status VELTOR_CALL veltor_get_global_logic(veltor_device* device, char* buffer,
                                                             size_t size, size_t* needed);
/** The message of the latest failed global logic ("" until one fails), by
 * the buffer rules of this file, and its line in `*line`. */
VELTOR_API veltor_status VELTOR_CALL veltor_global_logic_error(veltor_device* device, int* line,
                                                               char* buffer, size_t size,
                                                               size_t* needed);

/* ---- Failure diagnostics ------------------------------------------------ */

/** How the last attempt of an exchange on the device ended, by any thread. */
typedef enum veltor_outcome {
    VELTOR_OUTCOME_NONE = 0,          /**< no exchange yet */
    VELTOR_OUTCOME_SUCCESS = 1,       /**< acknowledged */
    VELTOR_OUTCOME_NOT_CONNECTED = 2, /**< nothing was sent */
    VELTOR_OUTCOME_WRITE_FAILED = 3,  /**< the request could not be written */
    VELTOR_OUTCOME_NO_ANSWER = 4,     /**< no answer within the time allowed */
    VELTOR_OUTCOME_NEGATIVE = 5,      /**< refused by the instrument */
    VELTOR_OUTCOME_WRONG_LEAD = 6,    /**< only bytes that were neither answer nor report */
    VELTOR_OUTCOME_INCOMPLETE = 7,    /**< the answer stopped after its header */
    VELTOR_OUTCOME_BAD_CHECKSUM = 8,  /**< the answer's checksum failed */
    VELTOR_OUTCOME_PORT_LOST = 9,     /**< the port went away (unplugged): reconnect */
    VELTOR_OUTCOME_MISMATCH = 10,     /**< only answers of other requests arrived */
    VELTOR_OUTCOME_CLOSED = 11,       /**< closed from another thread meanwhile */
    /** answers owed to earlier requests never came, and the line could not be
     * brought back in step: the command was not sent */
    VELTOR_OUTCOME_OUT_OF_STEP = 12,
    /** cancelled by the host (veltor_cancel_command); a request already
     * written may or may not have been carried out */
    VELTOR_OUTCOME_CANCELLED = 13
} veltor_outcome;

/** Sets `*outcome` to a #veltor_outcome: how the device's last exchange
 * ended. */
VELTOR_API veltor_status VELTOR_CALL veltor_last_outcome(veltor_device* device, int* outcome);
/** Sets `*text` to the outcome in words ("no answer"), static text;
 * "unknown outcome" for any other value. */
VELTOR_API veltor_status VELTOR_CALL veltor_describe_outcome(int outcome, const char** text);
/** Why the device's last command failed, whichever thread ran it ("" after
 * one that succeeded), by the buffer rules of this file. With several
 * threads, veltor_last_message() gives each thread its own. */
VELTOR_API veltor_status VELTOR_CALL veltor_device_last_error(veltor_device* device, char* buffer,
                                                              size_t size, size_t* needed);

/* ---- Callbacks ---------------------------------------------------------- */

/** A delay report: the channel letter, the delay in clock counts and in
 * seconds, and a monotonic time stamp in nanoseconds of its arrival. Called
 * for every valid report in arrival order, one call at a time, on a thread
 * of the device's own and outside the library's locks: it may run commands
 * on the device but must not destroy it, and should return soon (later
 * reports wait). */
typedef void(VELTOR_CALL* veltor_report_fn)(void* user, char channel, unsigned int counts,
                                            double seconds, long long time_ns);
/** Sets the delay report callback, called with `user`; `fn` NULL switches it
 * off. Returns once no call of the previous callback is in progress, so its
 * user data may go then. */
VELTOR_API veltor_status VELTOR_CALL veltor_set_report_callback(veltor_device* device,
                                                                veltor_report_fn fn, void* user);
/** Sets `*count` to the reports dropped since the device was made because
 * a callback slower than the reports left 4096 of them waiting: the oldest
 * waiting report gives way to the newest. */
VELTOR_API veltor_status VELTOR_CALL veltor_dropped_reports(veltor_device* device,
                                                            unsigned long long* count);

/** How a device keeps its connection; see veltor_set_reconnect(). */
typedef struct veltor_reconnect {
    size_t size;         /**< sizeof(veltor_reconnect), set by the caller */
    int enabled;         /**< nonzero: a lost line is opened again */
    unsigned first_ms;   /**< wait before the first try (0 counts as 1) */
    unsigned longest_ms; /**< the longest wait; each failed try doubles it */
    int resend_update;   /**< nonzero: once back, send the last update that
                              succeeded again, from the settings as they are then */
} veltor_reconnect;
/** Sets the reconnecting policy (off by default): after the port is lost,
 * the library opens it again by the name or number given to the connect
 * call, on a thread of the device's own, at growing intervals; commands
 * return #VELTOR_NOT_CONNECTED meanwhile (outcome #VELTOR_OUTCOME_PORT_LOST).
 * veltor_disconnect() ends the tries; a new connect keeps the policy.
 * `policy->size` other than sizeof(veltor_reconnect) gives
 * #VELTOR_INVALID_ARGUMENT. */
VELTOR_API veltor_status VELTOR_CALL veltor_set_reconnect(veltor_device* device,
                                                          const veltor_reconnect* policy);

/** Events of the reconnect callback. */
enum {
    VELTOR_RECONNECT_LOST = 0,          /**< the line went away; tries begin */
    VELTOR_RECONNECT_BACK = 1,          /**< the port is open again */
    VELTOR_RECONNECT_UPDATE_RESENT = 2, /**< the last update was sent again */
    VELTOR_RECONNECT_UPDATE_FAILED = 3  /**< sending it again failed */
};
/** Called with a VELTOR_RECONNECT_* event on the device's reconnecting
 * thread, outside the library's locks: it may run commands on the device. */
typedef void(VELTOR_CALL* veltor_reconnect_fn)(void* user, int event);
/** Sets the reconnect callback, called with `user`; `fn` NULL switches it
 * off. Returns once no call of the previous callback is in progress. */
VELTOR_API veltor_status VELTOR_CALL veltor_set_reconnect_callback(veltor_device* device,
                                                                   veltor_reconnect_fn fn,
                                                                   void* user);

/** Kinds of #veltor_trace_event. */
enum {
    VELTOR_TRACE_REQUEST = 0, /**< a request written */
    VELTOR_TRACE_ANSWER = 1,  /**< the answer read for it */
    VELTOR_TRACE_UNASKED = 2  /**< bytes the instrument sent unasked */
};

/** One event of the wire trace, valid during the trace call only. */
typedef struct veltor_trace_event {
    size_t size;                /**< sizeof(veltor_trace_event) of the library */
    int kind;                   /**< VELTOR_TRACE_* */
    const unsigned char* bytes; /**< the bytes on the wire */
    size_t count;               /**< how many bytes */
    long long time_ns;          /**< monotonic time stamp in nanoseconds */
    const char* status;         /**< the command in progress, or "" */
} veltor_trace_event;

/** The wire trace. The event and its bytes are valid during the call only.
 * Called one event at a time: on the commanding thread for requests and
 * answers, on the device's watcher thread for unasked bytes, while the
 * device holds its lock or its receive lock: it must not call the device,
 * and should return soon. */
typedef void(VELTOR_CALL* veltor_trace_fn)(void* user, const veltor_trace_event* event);
/** Sets the wire trace, called with `user`; `fn` NULL switches it off.
 * Returns once no call of the previous trace is in progress. */
VELTOR_API veltor_status VELTOR_CALL veltor_set_trace(veltor_device* device, veltor_trace_fn fn,
                                                      void* user);

/* ---- Finding the port ---------------------------------------------------- */

/** A list of serial ports made by veltor_list_ports(), released with
 * veltor_port_list_free(). Read-only: any thread may read it. */
typedef struct veltor_port_list veltor_port_list;

/** What veltor_list_ports() does beside listing. All zero (with `size` set)
 * lists the machine's ports without probing. */
typedef struct veltor_port_options {
    size_t size;                    /**< sizeof(veltor_port_options), set by the caller */
    int probe;                      /**< nonzero: probe each port for the instrument */
    const int* baud_indexes;        /**< speeds to probe at, in order; NULL: 115200 only */
    size_t baud_count;              /**< entries of baud_indexes */
    const char* const* extra_paths; /**< ports to list (and probe) besides the machine's */
    size_t extra_count;             /**< entries of extra_paths */
    int only_extra_paths;           /**< nonzero: leave the machine's ports out */
} veltor_port_options;

/** What the probe found on a port. */
enum {
    VELTOR_PROBE_NOT_PROBED = 0, /**< no probe was asked for */
    VELTOR_PROBE_INSTRUMENT = 1, /**< a valid answer to a query of channel A */
    VELTOR_PROBE_NO_ANSWER = 2,  /**< opened, no answer as the instrument's */
    VELTOR_PROBE_BUSY = 3,       /**< held by another program: not opened */
    VELTOR_PROBE_FAILED = 4      /**< could not be opened or configured */
};

/** The texts of a port, for veltor_port_get_text(). */
enum {
    VELTOR_PORT_PATH = 0,          /**< "/dev/ttyUSB0", "COM3": what to connect to */
    VELTOR_PORT_STABLE_NAME = 1,   /**< "/dev/serial/by-id/...", or "" */
    VELTOR_PORT_DESCRIPTION = 2,   /**< the USB product, "built-in serial port" */
    VELTOR_PORT_BUS = 3,           /**< "usb", "pci", "platform", "pnp", ... */
    VELTOR_PORT_MANUFACTURER = 4,  /**< USB only, or "" */
    VELTOR_PORT_PRODUCT = 5,       /**< USB only, or "" */
    VELTOR_PORT_SERIAL_NUMBER = 6, /**< USB only, or "" */
    VELTOR_PORT_PROBE_NOTE = 7     /**< why the probe failed, or "" */
};

/** The numbers of a port, for veltor_port_get_numbers(). */
typedef struct veltor_port_numbers {
    size_t size;          /**< sizeof(veltor_port_numbers), set by the caller */
    int vendor_id;        /**< USB vendor id, -1 where unknown */
    int product_id;       /**< USB product id, -1 where unknown */
    int probe;            /**< VELTOR_PROBE_* */
    int probe_baud_index; /**< the baud index the instrument answered at, or -1 */
} veltor_port_numbers;

/** Lists the machine's serial ports (sysfs and /dev/serial/by-id on Linux,
 * the registry's COM ports on Windows) into a new `*list`. `options` may be
 * NULL: list without probing. With `probe`, each port no other program holds
 * is opened at each speed in turn (which sends the library's 1024-byte
 * filler burst), sent one query of channel A with one attempt, and closed
 * again; a port takes at most 0.3 s plus the burst's time on the line (0.09 s
 * at 115200 bit/s) per speed. Blocks while probing. */
VELTOR_API veltor_status VELTOR_CALL veltor_list_ports(const veltor_port_options* options,
                                                       veltor_port_list** list);
/** Releases a list. */
VELTOR_API veltor_status VELTOR_CALL veltor_port_list_free(veltor_port_list* list);
/** Sets `*count` to the number of ports in the list. */
VELTOR_API veltor_status VELTOR_CALL veltor_port_count(const veltor_port_list* list, size_t* count);
/** Copies text `which` (VELTOR_PORT_*) of port `index` into the buffer. */
VELTOR_API veltor_status VELTOR_CALL veltor_port_get_text(const veltor_port_list* list,
                                                          size_t index, int which, char* buffer,
                                                          size_t size, size_t* needed);
/** Fills `*numbers`, whose size field the caller sets, for port `index`. */
VELTOR_API veltor_status VELTOR_CALL veltor_port_get_numbers(const veltor_port_list* list,
                                                             size_t index,
                                                             veltor_port_numbers* numbers);

#ifdef __cplusplus
}
#endif

#endif /* VELTOR_VELTOR_C_H */
