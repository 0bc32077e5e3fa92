#include "net/SingleDownloader.h"

TSingleDownloaderThread::TSingleDownloaderThread(
    THttpRequestBase *owner, const QString &aAcceptTypes, const QString &aAgent,
    const QString &aURL, const QString &aFileName, const QString &aUserName,
    const QString &aPassword, const QString &aContentType, const QString &aPostQuery,
    const QString &aReferer, bool aBinaryData, bool aUseCache, const TOnProgressEvent &aProgress,
    const TOnLog &aOnLog, bool aToFile, THttpCharset aCharset)
    : THttpWorkerBase(owner, aToFile) {
    // The body goes out in one call with the request, whatever its size, and
    // the charset property (not the answer's Content-Type) decides decoding.
    FStreamLargeBody = false;
    FSendAcceptCharset = false;
    FLogAcceptType = false;
    FStarWhenNoAccept = true;
    FDecodeByContentType = false;
    FHttpCharset = aCharset;
    FLogTag = QStringLiteral("SingleDownloader");
    FTAcceptTypes = aAcceptTypes;
    FTAgent = aAgent;
    FTURL = aURL;
    FTFileName = aFileName;
    FTUserName = aUserName;
    FTPassword = aPassword;
    FTContentType = aContentType;
    FTPostBody = THttpBody(HttpToAnsi(aPostQuery));
    FTReferer = aReferer;
    FTBinaryData = aBinaryData;
    FTUseCache = aUseCache;
    FTProgress = aProgress;
    FHasProgress.store(bool(aProgress));
    FOnLog = aOnLog;
}

TSingleDownloader::TSingleDownloader(QObject *aOwner) : THttpRequestBase(aOwner) {}

TSingleDownloader::~TSingleDownloader() {
    Abort();
}

std::shared_ptr<THttpWorkerBase> TSingleDownloader::CreateWorker(bool bToFile) {
    return std::make_shared<TSingleDownloaderThread>(
        this, FAcceptTypes, FAgent, FURL, FFileName, FUserName, FPassword, FContentType, FPostQuery,
        FReferer, FBinaryData, FUseCache, OnProgress, OnLog, bToFile, FHttpCharset);
}

void TSingleDownloader::SetPostValues(const QStringList &slValues) {
    FPostQuery = HttpFromAnsi(HttpFormEncodeValues(slValues));
}

void TSingleDownloader::SetUploadFiles(const QStringList &slValues, const QStringList &slFiles) {
    TFilePostGen gen;
    gen.Make(slValues, slFiles);
    FContentType = gen.Headers();
    FPostQuery = gen.PostData();
}
