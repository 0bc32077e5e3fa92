// Address parsing, form encoding and the two multipart builders, byte for byte.

#include "net/KestHttpRequest.h"
#include "net/SingleDownloader.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray B = "---------------------------989989989989888";

void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

TEST(HttpParseURL, SplitsSchemeHostPortAndObject) {
    struct Case {
        QString url;
        bool valid;
        bool ssl;
        QString host;
        int port;
        QString object;
    };
    const Case cases[] = {
        {u"https://graph.example.com/path?a=1"_s, true, true, u"graph.example.com"_s, 443,
         u"/path?a=1"_s},
        {u"HTTPS://H/x"_s, true, true, u"H"_s, 443, u"/x"_s},
        {u"H/x"_s, true, false, u"H"_s, 80, u"/x"_s},
        {u"http://h:8080/a/b"_s, true, false, u"h"_s, 8080, u"/a/b"_s},
        {u"https://127.0.0.1:4443/"_s, true, true, u"127.0.0.1"_s, 4443, u"/"_s},
        {u"http://[::1]:81/x"_s, true, false, u"[::1]"_s, 81, u"/x"_s},
        {u"http://[::1]/x"_s, true, false, u"[::1]"_s, 80, u"/x"_s},
        // Without a "/" after the host there is no host.
        {u"https://example.com"_s, false, true, QString(), 443, QString()},
        {QString(), false, false, QString(), 80, QString()},
        {u"http:///x"_s, false, false, QString(), 80, QString()},
        {u"http://h:abc/x"_s, false, false, QString(), 80, QString()},
        {u"http://h:0/x"_s, false, false, QString(), 80, QString()},
        {u"http://h:70000/x"_s, false, false, QString(), 80, QString()},
        {u"http://h:/x"_s, false, false, QString(), 80, QString()},
        {u"http://ex ample/x"_s, false, false, QString(), 80, QString()},
        {u"http://user@h/x"_s, false, false, QString(), 80, QString()},
        {u"http://[zz]/x"_s, false, false, QString(), 80, QString()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url.toStdString());
        const THttpParsedURL r = HttpParseURL(c.url);
        EXPECT_EQ(r.Valid, c.valid);
        EXPECT_EQ(r.HttpSSL, c.ssl);
        if (c.valid) {
            EXPECT_EQ(r.Host, c.host);
            EXPECT_EQ(r.Port, c.port);
            EXPECT_EQ(r.Object, c.object);
        }
    }
}

TEST(HttpFormEncode, UpperCaseHexAndPlusForSpace) {
    EXPECT_EQ(HttpFormEncode("a b&c"), QByteArray("a+b%26c"));
    EXPECT_EQ(HttpFormEncode("\xE9"), QByteArray("%E9"));
    EXPECT_EQ(HttpFormEncode("AZaz09*@._-$!'()"), QByteArray("AZaz09*@._-$!'()"));
    EXPECT_EQ(HttpFormEncode("/=?%+~\n"), QByteArray("%2F%3D%3F%25%2B%7E%0A"));
    // Values go through the 8-bit code page first: U+00E9 is the byte 0xE9.
    EXPECT_EQ(HttpFormEncodeValues({u"name=a b&c"_s, u"x=\u00e9"_s, u"k=v=w"_s, u"bare"_s}),
              QByteArray("name=a+b%26c&x=%E9&k=v%3Dw&bare="));
    EXPECT_EQ(HttpFormEncodeValues({}), QByteArray());
}

TEST(HttpMaskSecrets, HidesAccessTokenValues) {
    const QString masked =
        HttpMaskSecrets(u"https://h/me?access_token=SECRET123&x=1 and ?ACCESS_TOKEN=OTHER#frag"_s);
    EXPECT_FALSE(masked.contains(u"SECRET123"_s));
    EXPECT_FALSE(masked.contains(u"OTHER"_s));
    EXPECT_TRUE(masked.contains(u"access_token=********&x=1"_s));
    EXPECT_EQ(HttpMaskSecrets(u"/plain?a=1"_s), u"/plain?a=1"_s);
}

TEST(KestMultipart, ExampleBodyByteForByte) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"p.jpg"_s);
    WriteFile(path, "X");
    TKestHttpRequest r;
    EXPECT_TRUE(r.SetUploadFiles({u"caption=Hi"_s}, {u"filename="_s + path}));
    const QByteArray expected =
        "--" + B + "\r\n" + "Content-Disposition: form-data; name=\"caption\"\r\n" + "\r\n" +
        "Hi\r\n" + "--" + B + "\r\n" + "Content-Disposition: form-data; name=\"filename\"; " +
        "filename=\"" + path.toLatin1() + "\"\r\n" + "Content-Type: image/jpeg\r\n" + "\r\n" +
        "X\r\n" + "--" + B + "--\r\n";
    EXPECT_EQ(r.PostQuery(), expected);
    EXPECT_EQ(r.ContentType(),
              u"Content-Type: multipart/form-data; boundary="_s + QString::fromLatin1(B));
}

TEST(KestMultipart, EmptyListsGiveOnlyTheClosingDelimiter) {
    TKestHttpRequest r;
    EXPECT_TRUE(r.SetUploadFiles({}, {}));
    EXPECT_EQ(r.PostQuery(), "--" + B + "--\r\n");
}

TEST(KestMultipart, ValuesAreUtf8AndNamesAre8Bit) {
    TKestHttpRequest r;
    r.SetUploadFiles({u"caf\u00e9=\u00e9\u20ac"_s}, {});
    EXPECT_EQ(r.PostQuery(), "--" + B + "\r\nContent-Disposition: form-data; name=\"caf\xE9\"\r\n" +
                                 "\r\n\xC3\xA9\xE2\x82\xAC\r\n--" + B + "--\r\n");
}

TEST(KestMultipart, ContentTypeLineFromExtension) {
    QTemporaryDir dir;
    struct Case {
        QString name;
        QByteArray line; // empty: no Content-Type line, only the empty line
    };
    const Case cases[] = {
        {u"a.JpG"_s, "Content-Type: image/jpeg"},
        {u"a.jpeg"_s, "Content-Type: image/jpeg"},
        {u"a.png"_s, "Content-Type: image/x-png"},
        {u"a.gif"_s, "Content-Type: image/gif"},
        {u"a.BMP"_s, "Content-Type: image/bmp"},
        {u"a.pdf"_s, "Content-Type: application/pdf"},
        {u"a.html"_s, "Content-Type: text/html"},
        {u"a.avi"_s, "Content-Type: video/x-msvideo"},
        {u"a.MOV"_s, "Content-Type: video/quicktime"},
        {u"a.mpe"_s, "Content-Type: video/mpeg"},
        {u"a.mpeg"_s, "Content-Type: video/mpeg"},
        {u"a.wmv"_s, "Content-Type: video/wmv"},
        {u"a.txt"_s, QByteArray()},
        {u"noext"_s, QByteArray()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QString path = dir.filePath(c.name);
        WriteFile(path, "DATA");
        TKestHttpRequest r;
        ASSERT_TRUE(r.SetUploadFiles({}, {u"f="_s + path}));
        const QByteArray head = "--" + B + "\r\nContent-Disposition: form-data; name=\"f\"; " +
                                "filename=\"" + path.toLatin1() + "\"\r\n" +
                                (c.line.isEmpty() ? QByteArray() : c.line + "\r\n") + "\r\n";
        EXPECT_EQ(r.PostQuery(), head + "DATA\r\n--" + B + "--\r\n");
    }
}

TEST(KestMultipart, EmptyPathIsBinaryWithoutContent) {
    TKestHttpRequest r;
    EXPECT_TRUE(r.SetUploadFiles({}, {u"source="_s}));
    EXPECT_EQ(r.PostQuery(), "--" + B +
                                 "\r\nContent-Disposition: form-data; name=\"source\"; "
                                 "filename=\"\"\r\nContent-Transfer-Encoding: binary\r\n\r\n--" +
                                 B + "--\r\n");
}

TEST(KestMultipart, FileBytesStayOnDiskUntilRead) {
    QTemporaryDir dir;
    const QString path = dir.filePath(u"v.mov"_s);
    QByteArray data(300000, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7);
    WriteFile(path, data);
    TKestHttpRequest r;
    ASSERT_TRUE(r.SetUploadFiles({u"a=b"_s}, {u"file="_s + path}));
    const THttpBody &body = r.PostBody();
    EXPECT_TRUE(body.HasFiles());
    qint64 inMemory = 0;
    for (const THttpBody::Segment &s : body.Segments())
        inMemory += s.Bytes.size();
    EXPECT_LT(inMemory, 1000);
    const QByteArray whole = r.PostQuery();
    EXPECT_EQ(whole.size(), body.Size());
    EXPECT_TRUE(whole.contains(data));
}

TEST(KestMultipart, UnreadableFileIsReported) {
    QTemporaryDir dir;
    TKestHttpRequest r;
    EXPECT_FALSE(r.SetUploadFiles({}, {u"f="_s + dir.filePath(u"missing.jpg"_s)}));
    EXPECT_FALSE(r.PostBody().Error().isEmpty());
    EXPECT_FALSE(r.SetUploadFiles({}, {u"f="_s + dir.path()})); // a folder
    // A later good body clears the mark.
    EXPECT_TRUE(r.SetUploadFiles({u"a=b"_s}, {}));
    EXPECT_TRUE(r.PostBody().Error().isEmpty());
}

TEST(KestSetPostValues, FormEncodedBodyLeavesContentType) {
    TKestHttpRequest r;
    r.SetContentType(u"Content-Type: text/x-mine"_s);
    r.SetPostValues({u"a=a b&c"_s, u"b=\u00e9"_s});
    EXPECT_EQ(r.PostQuery(), QByteArray("a=a+b%26c&b=%E9"));
    EXPECT_EQ(r.ContentType(), u"Content-Type: text/x-mine"_s);
    r.SetPostValues({});
    EXPECT_TRUE(r.PostQuery().isEmpty());
}

TEST(FilePostGen, TextBodyWithItsOwnBoundaryAndTable) {
    QTemporaryDir dir;
    const QString jpg = dir.filePath(u"a.JPG"_s);
    const QString gif = dir.filePath(u"b.gif"_s);
    WriteFile(jpg, QByteArray("\xFF\xD8\x00\x01", 4));
    WriteFile(gif, "G");
    const QString b = u"---------------------------989989989"_s;
    TFilePostGen gen;
    gen.Make({u"msg=a b&\u00e9"_s}, {u"p="_s + jpg, u"q="_s + gif});
    const QString expected =
        u"--"_s + b + u"\r\nContent-Disposition: form-data; name=\"msg\"\r\n\r\na+b%26%E9\r\n"_s +
        u"--"_s + b + u"\r\nContent-Disposition: form-data; name=\"p\"; filename=\""_s + jpg +
        u"\"\r\nContent-Type: image/pjpeg\r\n\r\n"_s + QString::fromLatin1("\xFF\xD8\x00\x01", 4) +
        u"\r\n--"_s + b + u"\r\nContent-Disposition: form-data; name=\"q\"; filename=\""_s + gif +
        u"\"\r\n\r\nG\r\n--"_s + b + u"--\r\n"_s;
    EXPECT_EQ(gen.PostData(), expected);
    EXPECT_EQ(gen.Headers(), u"Content-Type: multipart/form-data; boundary="_s + b);

    TFilePostGen one;
    one.Make({u"a=1"_s}, {});
    EXPECT_TRUE(one.PostData().endsWith(u"--"_s + b + u"--\r\n"_s));

    TSingleDownloader d;
    d.SetUploadFiles({u"a=1"_s}, {});
    EXPECT_EQ(d.PostQuery(), one.PostData());
    EXPECT_EQ(d.ContentType(), one.Headers());
}

TEST(Components, Defaults) {
    TKestHttpRequest r;
    EXPECT_EQ(r.AcceptTypes(), u"*/*"_s);
    EXPECT_TRUE(r.Agent().isEmpty());
    EXPECT_FALSE(r.BinaryData());
    EXPECT_FALSE(r.WaitThread());
    EXPECT_FALSE(r.Busy());
    TSingleDownloader d;
    EXPECT_EQ(d.AcceptTypes(), u"*/*"_s);
    EXPECT_EQ(d.HttpCharset(), KAnsi);
    // The properties are reachable through the meta-object (the translator
    // and settings walk them).
    EXPECT_GE(d.metaObject()->indexOfProperty("HttpCharset"), 0);
    EXPECT_GE(r.metaObject()->indexOfProperty("PostQuery"), 0);
}
