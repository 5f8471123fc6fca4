// Shared part of the command-line clients: options, password, exit statuses, input and result.
#pragma once

// tavrinhost-nm and tavrinhost-http take one option vocabulary (a letter means the same in
// both), read the password from a file, the environment or the terminal, and share their exit
// statuses and the handling of input and result files.

#include <cstddef>
#include <string>

// Exit statuses of both clients. Every failure writes one line on standard error first.
constexpr int CLIENT_EXIT_OK = 0;
constexpr int CLIENT_EXIT_FAILED = 1; // the operation failed
constexpr int CLIENT_EXIT_USAGE = 2;  // a command line it does not understand, or no password
constexpr int CLIENT_GO_ON = -1;      // client_parse_options: run the command

constexpr const char* CLIENT_PASSWORD_VARIABLE = "TAVRINHOST_PASSWORD";
// Ids a password prefix may carry ("." + id); a password without one is sent behind ".1"
// (AES-256-GCM, which refuses a wrong password) or the id of -m.
constexpr const char* CLIENT_ALGORITHM_IDS = "1235AC";
constexpr char CLIENT_DEFAULT_ALGORITHM = '1';
// Longest password text as it goes out (prefix and JSON escapes included): what the server
// takes.
constexpr size_t CLIENT_PASSWORD_MAX = 511;
constexpr size_t CLIENT_CHUNK_DEFAULT = 1 << 20; // characters of data per chunk message
constexpr size_t CLIENT_CHUNK_MAX = 1 << 29;

// Which client parses: each takes the shared options and its own.
enum ClientKind { CLIENT_NM = 1, CLIENT_HTTP = 2 };

struct ClientOptions {
    const char* program;       // "tavrinhost-nm" or "tavrinhost-http", at the start of messages
    int kind;                  // CLIENT_NM or CLIENT_HTTP
    bool status;               // --status: ask for the status reply only
    bool decrypt;              // -d (the default -e encrypts)
    bool base64;               // -a: containers as Base64 text (written by -e, read by -d)
    char algorithm;            // -m ID: the id for a password without prefix
    const char* password_file; // -k FILE: the password is its first line
    const char* input;         // -i FILE, null for standard input
    const char* output;        // -o FILE, null for standard output
    const char* host;          // -H HOST (http): server address, "127.0.0.1"
    const char* port;          // -p PORT (http): server port, "7777"
    size_t chunk;              // -c N (nm): data characters per chunk message
    bool text;                 // --text (nm): encrypt the input text itself (raw 0)
    bool timing;               // --timing (nm): report time, frames and host memory
    char** command;            // after "--" (nm): the host command, null for the default
    int command_count;
};

// Sets the defaults of kind, then reads argv (the words encrypt and decrypt stand for -e and
// -d). Returns CLIENT_GO_ON; or CLIENT_EXIT_OK after the help text on standard output (-h,
// --help); or CLIENT_EXIT_USAGE after one line on standard error naming what it did not
// understand.
int client_parse_options(int argc, char** argv, const char* program, int kind,
                         ClientOptions* options);

// The password as it goes out: the first line of -k FILE, else TAVRINHOST_PASSWORD, else read
// from the terminal without echo (asked twice when encrypting, and refused when the two
// differ); behind "." + the -m id unless it begins with "." and one of CLIENT_ALGORITHM_IDS;
// escaped as the inside of a JSON string the way a browser's JSON.stringify does. Returns 0,
// or after one line on standard error CLIENT_EXIT_USAGE when no source gave a password and
// CLIENT_EXIT_FAILED for any other fault. Copies are wiped; the caller wipes *sent.
int client_password(const ClientOptions* options, std::string* sent);

// The data text of a request, from the whole input: its Base64 text; with -a when decrypting
// the input as it stands without trailing line ends and spaces; with --text when encrypting
// the input as it stands (refused when it holds '"', '\' or control characters). Returns 0,
// or CLIENT_EXIT_FAILED after one line on standard error (input unreadable, empty: "the input
// is empty; there is nothing to encrypt", or "decrypt").
int client_request_text(const ClientOptions* options, std::string* text);

// Writes the result from the Base64 text of a reply: as it stands plus a line end with -a when
// encrypting, else decoded. Returns 0, or CLIENT_EXIT_FAILED after one line on standard error.
int client_write_result(const ClientOptions* options, const std::string& reply_text);

// Base64 of bytes ("" for none); and back, false when text is not Base64.
std::string client_base64(const std::string& bytes);
bool client_from_base64(const std::string& text, std::string* bytes);

// Writes "<program>: <message>\n" on standard error.
void client_fail(const ClientOptions* options, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
