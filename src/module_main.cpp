// SPDX-License-Identifier: BSD-2-Clause
/*
 * Process entry: the life of the module from start to exit.
 *
 * main hands the configuration path to the adapter, waits for the
 * server's "INIT", has the adapter create its engine, answers with the
 * 299 or 399 block, runs the command loop and turns each way of ending
 * into an exit status: 1 when configuration or engine creation fails, 3
 * when the server does not open with INIT, 0 after QUIT (which released
 * the engine itself), and the loop's own result (-1, seen as 255) when
 * input ends or fails while serving.
 *
 * The handshake blocks and the final "399 ERR MODULE CLOSED" are written
 * without module_stdout_mutex: nothing else writes at those moments.
 * Every path ends through exit, which flushes the standard streams.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "nrv_module_main.h"

namespace {

constexpr size_t stdout_buffer_bytes = 64 * 1024;
/* Handed to setvbuf whole: given no buffer, glibc ignores the size and
 * keeps its own of one page for a pipe. */
char stdout_buffer[stdout_buffer_bytes];

[[noreturn]] void close_and_exit(int status) {
    module_close();
    exit(status);
}

/*
 * Writes the two-line handshake block: "<code>-" with the message, then
 * the closing line. A missing message is replaced by the default text,
 * which ends in its own line feed and so leaves an empty line between
 * the two. The message is the caller's; the default copy is freed here.
 */
void send_handshake(const char *code, const char *message, const char *fallback,
                    const char *last_line) {
    char *fallback_copy = nullptr;
    if (message == nullptr) {
        fallback_copy = strdup(fallback);
        // Without memory even for the default, the block keeps its shape
        // with nothing after the code.
        message = fallback_copy != nullptr ? fallback_copy : "";
    }
    fprintf(stdout, "%s-%s\n%s\n", code, message, last_line);
    fflush(stdout);
    free(fallback_copy);
}

}  // namespace

int main(int argc, char **argv) {
    // A server that has gone away shows up as the end of input; a write
    // to its closed pipe must fail with EPIPE, not kill the process
    // between two replies.
    signal(SIGPIPE, SIG_IGN);
    // Every reply is flushed as soon as it is written, so the buffer size
    // never delays anything; it only decides how many writes an audio
    // block costs. A pipe's default of 4 KiB splits each block of up to
    // about 20 KB into several; this size sends each block in one write.
    setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);

    if (module_config(argc > 1 ? argv[1] : nullptr) != 0) close_and_exit(1);

    char *first = module_readline(0, 1);
    bool is_init = first != nullptr && strcmp(first, "INIT\n") == 0;
    free(first);
    if (!is_init) {
        fputs("ERROR: Server did not start with INIT\n", stderr);
        close_and_exit(3);
    }

    char *status_info = nullptr;
    if (module_init(&status_info) != 0) {
        send_handshake("399", status_info, "Unspecified initialization error\n",
                       "399 ERR CANT INIT MODULE");
        free(status_info);
        close_and_exit(1);
    }
    send_handshake("299", status_info, "Unspecified initialization success\n",
                   "299 OK LOADED SUCCESSFULLY");
    free(status_info);

    int result = module_loop();
    // QUIT has already released the engine and answered 210.
    if (result == 0) exit(0);
    fputs("399 ERR MODULE CLOSED\n", stdout);
    fflush(stdout);
    close_and_exit(result);
}
