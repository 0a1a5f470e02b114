// Fuzzes the CSV file of `promtool image batch`: whatever the file holds, the
// units read from it have six-digit serial numbers and MAC addresses that no
// other unit of the file has, and names the record can hold; every bad line
// is named by a line the file has. Each seed gives units or bad lines.
#include <cstdio>
#include <fcntl.h>
#include <cstdlib>
#include <set>
#include <string>
#include <unistd.h>

#include "FuzzSeeds.h"
#include "PromBatchInput.h"
#include "PromLedger.h"
#include "PromRecord.h"

static std::string CsvPath;
static int Quiet = -1;      // /dev/null, for the complaints about the file (libFuzzer reports on stderr)

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char Template[] = "/tmp/fuzz-batch-XXXXXX";
    if (nullptr == mkdtemp(Template) || (Quiet = open("/dev/null", O_WRONLY)) < 0)
    {
        return 1;
    }
    CsvPath = std::string(Template) + "/units.csv";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t Size)
{
    FILE* pFile = fopen(CsvPath.c_str(), "wb");
    if (nullptr == pFile || Size != fwrite(pData, 1, Size, pFile) || 0 != fclose(pFile))
    {
        abort();
    }
    std::vector<BatchUnit_s> Units;
    std::vector<BadLine_s> Bad;
    int Stderr = dup(STDERR_FILENO);
    dup2(Quiet, STDERR_FILENO);
    ReadBatchCsv(CsvPath.c_str(), &Units, &Bad);
    dup2(Stderr, STDERR_FILENO);
    close(Stderr);
    size_t Lines = 1;
    for (size_t i = 0; i < Size; i++)
    {
        Lines += pData[i] == '\n';
    }
    std::set<std::string> Serials;
    std::set<uint64_t> Macs;
    for (const BatchUnit_s& Unit : Units)
    {
        if (Unit.Serial.size() != 6 || !SerialIsValid(reinterpret_cast<const uint8_t*>(Unit.Serial.data()))
            || !NameProblem(Unit.Name).empty() || !Serials.insert(Unit.Serial).second
            || !Macs.insert(NumberOfMac(Unit.Mac)).second || Unit.Line < 2 || Unit.Line > Lines)
        {
            abort();
        }
    }
    SeedReached(!Units.empty() || !Bad.empty(), Size, "the CSV reader: no unit and no bad line");
    for (const BadLine_s& Line : Bad)
    {
        if (Line.Line < 1 || Line.Line > Lines || Line.Why.empty())
        {
            abort();
        }
    }
    return 0;
}
