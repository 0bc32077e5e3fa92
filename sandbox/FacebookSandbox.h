#pragma once

// A local stand-in for Facebook on loopback: the REST endpoint, the video host, the Graph
// interface, the sign-in pages, pictures and the update answer, with everything it
// receives kept in a data folder and shown on its index page. Used by the tests and by
// `scripts/run`, so the program can be used end to end without Facebook.

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace sandbox {

// One part of a multipart/form-data body.
struct FormPart {
    std::string name;
    std::string filename; // as sent (a path); empty for a value part
    std::string contentType;
    std::string value; // the value, or the file's bytes
};

// One HTTP request as the service received it.
struct ReceivedRequest {
    std::string method; // "GET", "POST"
    std::string target; // path and query as sent
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;                                  // the body unless it was multipart
    std::vector<FormPart> parts;                       // the parts of a multipart body, in order
    std::string Header(const std::string &name) const; // first one, any case; "" if none
};

// How the service spoils calls on request.
enum class FaultMode {
    Unavailable, // {"error_code":2,"error_msg":"Service temporarily unavailable"}
    HtmlPage,    // a 500 answer with an HTML error page
    Drop,        // the connection is closed without an answer body
};

struct Account {
    std::string id;
    std::string email;
    std::string name;
    std::string token;
};

class FacebookSandbox {
public:
    // aDataDir holds what the service received; it is created when missing and its
    // earlier contents are loaded.
    explicit FacebookSandbox(std::string aDataDir);
    ~FacebookSandbox();
    FacebookSandbox(const FacebookSandbox &) = delete;
    FacebookSandbox &operator=(const FacebookSandbox &) = delete;

    // Listens on 127.0.0.1; port 0 picks a free one. False when the port is taken or the
    // data folder is unusable (ErrorText says why).
    bool Start(int aPort = 0);
    void Stop();
    bool Running() const;
    int Port() const;
    std::string ErrorText() const;

    // Addresses, all ending as the client expects them.
    std::string BaseURL() const;  // "http://127.0.0.1:PORT/"
    std::string GraphURL() const; // BaseURL + "graph/"
    std::string RestURL() const;  // BaseURL + "restserver.php"
    std::string VideoURL() const; // BaseURL + "video/restserver.php"
    std::string LoginURL() const; // the sign-in page
    std::string UpdateURL() const;
    static std::string MagicWord(); // what the update answer carries as "magicword"

    // The settings a program needs to run against this service, as "Key=Value" lines.
    std::string ProfileText() const;

    // Fault injection: the next aCount calls of aMethod ("photos.upload", "me", ...; "*"
    // for any) fail in the given way.
    void FailNext(const std::string &aMethod, int aCount, FaultMode aMode);
    // Request bodies are read at no more than this many bytes per second (0: unlimited).
    void SetThrottle(long long aBytesPerSecond);
    // The update answer's "Result", "info" and "page" lines.
    void SetUpdateAnswer(int aResult, const std::string &aInfo, const std::string &aPage);
    // Clears faults, throttling and the update answer.
    void ResetControls();

    // Inspection.
    std::vector<Account> Accounts() const;
    std::vector<ReceivedRequest> Requests() const; // the latest ones, oldest first
    void ClearRequests();
    // The whole record of what arrived: accounts, albums, photos, videos, feed, links.
    nlohmann::json State() const;
    // Bytes of a stored photo (by pid) or video (by vid); empty when unknown.
    std::string PhotoBytes(const std::string &aPid) const;
    std::string VideoBytes(const std::string &aVid) const;
    std::string DataDir() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Writes "Key=Value" lines into section [setting] of an INI file: keys already there are
// replaced in place, others appended, every other line kept. Creates the file when
// missing. Returns false when it cannot be written.
bool MergeSettings(const std::string &aIniPath, const std::string &aKeyValueLines);

// A bare server for exact request tests: records each raw request as sent and answers it
// with the next queued text (or the default answer), then closes the connection.
class RawRecordingServer {
public:
    RawRecordingServer();
    ~RawRecordingServer();
    bool Start();
    void Stop();
    int Port() const;
    std::string BaseURL() const; // "http://127.0.0.1:PORT/"

    void SetDefaultAnswer(const std::string &aBody);
    void QueueAnswer(const std::string &aBody);
    // Holds each answer back this long after the request arrived.
    void SetAnswerDelay(int aMilliseconds);
    // Raw requests (request line, headers, body) in arrival order.
    std::vector<std::string> Requests() const;
    // Waits until at least aCount requests arrived; false on time-out.
    bool WaitForRequests(size_t aCount, std::chrono::milliseconds aTimeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace sandbox
