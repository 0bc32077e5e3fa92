#include "net/SingleDownloader.h"

TSingleDownloaderThread::TSingleDownloaderThread(TSingleDownloader *downloader, bool bToFile)
    : THttpWorkerBase(downloader, bToFile) {
    // The body goes out in one call with the request, whatever its size, and
    // the charset property (not the answer's Content-Type) decides decoding.
    FStreamLargeBody = false;
    FSendAcceptCharset = false;
    FLogAcceptType = false;
    FStarWhenNoAccept = true;
    FDecodeByContentType = false;
    FLogTag = QStringLiteral("SingleDownloader");
    if (downloader) {
        downloader->CopySettingsTo(*this);
        FHttpCharset = downloader->HttpCharset();
        FTPostBody = THttpBody(HttpToAnsi(downloader->PostQuery()));
    }
}

TSingleDownloader::TSingleDownloader(QObject *aOwner) : THttpRequestBase(aOwner) {}

TSingleDownloader::~TSingleDownloader() {
    Abort();
}

std::shared_ptr<THttpWorkerBase> TSingleDownloader::CreateWorker(bool bToFile) {
    return std::make_shared<TSingleDownloaderThread>(this, bToFile);
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
