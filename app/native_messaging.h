// Native-messaging host: one exchange of frames on standard input and output.
#pragma once

// Runs one exchange (status probe, encryption or decryption) and returns the exit status 0.
int native_messaging_exchange();
