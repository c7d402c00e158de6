// Time to build the tree of a 10,000-entry catalogue, against driving
// QXmlStreamReader alone over the same bytes. Goal: at most 3x. Also the time
// to verify the catalogue's minisign signature against reading it into the
// tree: the check runs before every read, so it must stay small beside it.
// Goal: at most 0.10.

#include "catalogue/cataloguesignature.h"
#include "catalogue/keypath.h"
#include "catalogue/xmlreader.h"
#include "cataloguesigner.h"

#include <QElapsedTimer>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QByteArray catalogue(int entries)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n  <Hoop>\n";
    for (int i = 0; i < entries; ++i)
        xml += "    <FIRMWARE filename=\"hoop-fw-" + QByteArray::number(i) + ".zip\" version=\"2." +
               QByteArray::number(i) + "\" date=\"2024-05-" + QByteArray::number(1 + i % 28) +
               "\" MD5=\"0123456789abcdef0123456789abcdef\" desc=\"Firmware build " +
               QByteArray::number(i) + " with &amp; fixes\"/>\n";
    return xml + "  </Hoop>\n</root>\n";
}

template <typename F> double medianMs(int repetitions, F &&run)
{
    std::vector<double> times;
    for (int i = 0; i < repetitions; ++i) {
        QElapsedTimer timer;
        timer.start();
        run();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main()
{
    constexpr int entries = 10000;
    constexpr int repetitions = 9;
    const QByteArray data = catalogue(entries);

    qint64 tokens = 0;
    const double tokenizer = medianMs(repetitions, [&] {
        QXmlStreamReader xml(data);
        xml.setNamespaceProcessing(true);
        while (!xml.atEnd())
            xml.readNext();
        tokens += !xml.hasError();
    });

    qsizetype found = 0;
    const double reader = medianMs(repetitions, [&] {
        const QString error;
        const auto tree =
            XMLReader::dictionaryForXMLData(data, XMLReaderOptionProcessNamespaces, &error);
        if (tree)
            found = valueForKeyPath(*tree, QStringLiteral("root.Hoop.FIRMWARE")).toList().size();
    });

    // Signed as the demo's server signs: a libsodium key pair in minisign's "ED" format.
    const hoopupdate::CatalogueSigner signer;
    const QByteArray signature =
        signer.sign(data, hoopupdate::CatalogueSigner::defaultTrustedComment("updates.xml"));
    const QStringList keys{signer.publicKey()};
    qint64 verified = 0;
    const double verify =
        medianMs(repetitions, [&] { verified += verifyMinisign(data, signature, keys).verified; });

    if (tokens != repetitions || found != entries || verified != repetitions) {
        std::fprintf(stderr, "parse failed: %lld clean token runs, %lld entries, %lld verified\n",
                     static_cast<long long>(tokens), static_cast<long long>(found),
                     static_cast<long long>(verified));
        return 1;
    }
    std::printf("catalogue: %d entries, %lld bytes, median of %d runs\n", entries,
                static_cast<long long>(data.size()), repetitions);
    std::printf("QXmlStreamReader alone: %8.2f ms\n", tokenizer);
    std::printf("XMLReader tree:         %8.2f ms\n", reader);
    std::printf("ratio:                  %8.2f x (goal: at most 3x)\n", reader / tokenizer);
    std::printf("signature verified:     %8.2f ms\n", verify);
    std::printf("verify / tree:          %8.3f (goal: at most 0.10)\n", verify / reader);
    return 0;
}
