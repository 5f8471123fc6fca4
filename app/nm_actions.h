// Native-messaging actions: decrypt or encrypt the collected data and write the reply frames.
#pragma once

#include "app/frames.h"
#include "app/native_messaging.h"

constexpr const char* NM_ACTION_FAILED = "{\"error\":\"Action Failed\"}";
constexpr const char* NM_BAD_ENCRYPT_DATA = "{\"error\":\"Failed to decode base64 data for encryption\"}";
constexpr const char* NM_DECODE_FAILED_REASON = "Failed to decode user data";
constexpr const char* NM_ENCRYPT_FAILED_REASON = "Failed to encrypt data";
// Encryptions made while the Base64 of the container contains "AAAA" (which the browser side
// mistakes for padding of zero bytes; base64_text_has_aaaa tells without making the text);
// the fifth text is sent even if it holds "AAAA".
constexpr int NM_ENCODE_ATTEMPTS = 5;

// Runs the action of request on its data and writes the reply to io:
//   success          data messages of at most NM_DATA_PIECE_MAX characters, then the end
//                    frame (an empty decrypted plaintext: the end frame alone);
//   reason known     {"error":"<reason>"} (JSON-escaped), then the end frame;
//   no reason        {"error":"Action Failed"}, then the end frame;
//   encrypt failures {"error":"Failed to decode base64 data for encryption"} or
//                    {"error":"<reason>"}, with no end frame.
// frame_buffer holds NM_FRAME_BUFFER_SIZE bytes. Takes ownership of everything request holds
// and releases it on every path (release_request). Returns 0.
int run_native_messaging_action(const FrameIo* io, NativeMessagingRequest* request, char* frame_buffer);

// Sends the Base64 text of count bytes in data messages {"data":"<piece>"} of at most
// NM_DATA_PIECE_MAX characters (frame length piece + 11), each piece encoded behind its header
// in frame_buffer (NM_FRAME_BUFFER_SIZE bytes) and written at once (the whole text is never
// held), logging "Written %i/%i bytes back to client" per message. Returns the characters sent.
uint32_t write_encoded_messages(const FrameIo* io, const unsigned char* bytes, size_t count, char* frame_buffer);

// Bytes the salted container of the action needs for its result buffer: none when
// decrypting (the plaintext overwrites the ciphertext), else the longest input and the
// container's header, IV and tag room.
size_t action_output_size(const NativeMessagingRequest* request);

// Waits for the request's prepare task, then releases what the request owns: the password
// (wiped), the data text, the decoded bytes, the decoder's kept text and the output buffer.
// Harmless on a request that holds none of them.
void release_request(NativeMessagingRequest* request);

// Writes text as a JSON string body (without the quotes) into out (capacity bytes, at least
// 1): '"' and '\\' escaped, control bytes as \u00XX, others unchanged; cut on a whole
// escape when out is too small. Always NUL-terminates; returns the length written.
size_t json_escape_text(const char* text, char* out, size_t capacity);
