// CrashUpload.h: the upload of one crash report, as SubmitCrashReport performs it, with every
// wait bounded.
//
// The caller is a crashed process waiting for the upload on its faulting thread: an endpoint
// that accepts the connection and then says nothing must not keep it alive. Each wait of the
// socket (connect, send, receive) is bounded by its own time-out, and a watchdog thread bounds the
// whole exchange: at the deadline it raises the socket's stop flag (abandoning a name lookup) and
// closes the socket, which makes whatever call is blocked on it fail at once.
#pragma once

// Seconds. A report is a few kilobytes: an endpoint silent for this long has failed.
const int UPLOAD_WAIT_SECONDS = 20;
// Seconds from the start of the upload to the last byte of the response.
const int UPLOAD_EXCHANGE_SECONDS = 60;

struct SUploadLimits
{
    int nWaitSeconds;
    int nExchangeMs;
};

// "http://" + host (":port" unless 80) + "/cgi-bin/crash_upload.cgi".
void MakeUploadUrl(const char* pszHost, int nPort, char* pszOut, int nSize);

// Uploads the report (null: an empty file field) with the product name (null: empty) to the
// endpoint URL, as a multipart form with the fields "file" and "app". 1 when the endpoint
// answered 200, 0 in every other case. A host under the reserved ".invalid" domain is never looked
// up: the result is 0 at once. Throws nothing but std::bad_alloc, and that only after it has let
// go of everything (the socket closed, the response file deleted, the watchdog told); the
// export's catch point turns it into 0.
int SubmitReportTo(const char* pszUrl, const char* pszReportPath, const char* pszProductName,
                   const SUploadLimits& limits);
