// The application's request handler: what the server calls for each complete request.
#pragma once

#include "http/request.h"
#include "http/response.h"

// Defined by the application (the cipher routes). Contract:
// 1. Called at most once per connection, on its thread, only for a request whose parseState
//    is Complete and whose body was neither too large nor refused; several connection
//    threads may call it at once.
// 2. request is the connection's own record; the body's contents is zero-terminated and null
//    when there is no body. The handler only reads it; the server reads path again afterwards.
// 3. The returned response belongs to the server. It is sent when responseIsSendable says so;
//    otherwise "neither a response body nor a filenameToSend" is printed.
// 4. The server then releases it with releaseResponse: every text, the body's contents and
//    the record must be separate heap blocks or null.
// 5. A null result sends nothing ("You have returned a NULL response") and closes as usual.
HttpResponse* handle_request(const HttpRequest* request);
