#include "cli/CliFailure.h"
#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/ImageReport.h"
#include "cli/JsonOutput.h"

// Describes an image file without a probe. A file that is no image, or one the install
// would refuse, is described all the same and ends with exit code 5.
void runImage(const CliOptions& options, Console& console) {
    const ImageIdentity image = readImage(options.file);
    if (!options.json) {
        for (const QString& line : imageReportLines(image)) {
            console.line(line);
        }
    }
    if (!image.installable()) {
        throw CliFailure(ExitCode::BadImage, image.problem)
            .with({{QStringLiteral("image"), imageJson(image)}});
    }
    if (options.json) {
        QJsonObject result = jsonResult(options.commandName, 0);
        result.insert(QStringLiteral("image"), imageJson(image));
        console.json(result);
    }
}
