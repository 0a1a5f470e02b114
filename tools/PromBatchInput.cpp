// PromBatchInput: the CSV file and the ranges of `promtool image batch`.
#include "PromBatchInput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "PromCommandLine.h"
#include "PromLedger.h"
#include "PromOutput.h"
#include "PromRecord.h"

namespace
{
const size_t NameBytes = 15;    // the record's 16 bytes, NUL-terminated
const char* const Utf8Bom = "\xEF\xBB\xBF";     // spreadsheets start a UTF-8 file with it

// The fields of one CSV line. Returns true when the line is malformed
// (*pWhy says how).
bool SplitCsvLine(const std::string& Line, std::vector<std::string>* pFields, std::string* pWhy)
{
    size_t At = 0;
    while (true)
    {
        std::string Field;
        size_t Start = Line.find_first_not_of(" \t", At);
        if (Start != std::string::npos && Line[Start] == '"')
        {
            // Quoted: up to the lone quote that ends it, "" for a quote.
            for (At = Start + 1;; At++)
            {
                if (At >= Line.size())
                {
                    *pWhy = "a quoted field does not end on its line";
                    return true;
                }
                if (Line[At] == '"' && At + 1 < Line.size() && Line[At + 1] == '"')
                {
                    Field += '"';
                    At++;
                }
                else if (Line[At] == '"')
                {
                    break;
                }
                else
                {
                    Field += Line[At];
                }
            }
            At = Line.find_first_not_of(" \t", At + 1);
            if (At != std::string::npos && Line[At] != ',')
            {
                *pWhy = "text after a quoted field";
                return true;
            }
        }
        else
        {
            // Unquoted: up to the next comma, without the blanks around it.
            At = Line.find(',', At);
            Field = Line.substr(Start == std::string::npos ? Line.size() : Start,
                                At == std::string::npos ? std::string::npos : At - Start);
            Field.erase(Field.find_last_not_of(" \t") + 1);
        }
        pFields->push_back(Field);
        if (At == std::string::npos)
        {
            return false;
        }
        At++;       // past the comma
    }
}

// The column of each field (serial 0, MAC 1, name 2) from the header's
// fields. Returns true when they are not those three columns.
bool ColumnsOfHeader(const std::vector<std::string>& Fields, std::vector<int>* pColumns)
{
    static const std::map<std::string, int> Known = {{"serial", 0}, {"mac", 1}, {"name", 2}, {"unit_name", 2}};
    bool Seen[3] = {};
    for (std::string Field : Fields)
    {
        for (char& c : Field)
        {
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
        auto Found = Known.find(Field);
        if (Found == Known.end() || Seen[Found->second])
        {
            return true;
        }
        Seen[Found->second] = true;
        pColumns->push_back(Found->second);
    }
    return !(Seen[0] && Seen[1] && Seen[2]);
}

// Checks one unit's fields into *pUnit. Returns the complaint; empty when
// the fields are good.
std::string CheckUnit(const std::string& Serial, const std::string& Mac, const std::string& Name, BatchUnit_s* pUnit)
{
    if (Serial.size() != 6 || !SerialIsValid(reinterpret_cast<const uint8_t*>(Serial.data())))
    {
        return "serial number '" + EscapedText(reinterpret_cast<const uint8_t*>(Serial.data()), Serial.size())
               + "' is not six decimal digits";
    }
    if (ParseMac(Mac.c_str(), pUnit->Mac) || Mac.size() != strlen(Mac.c_str()))
    {
        return "MAC address '" + EscapedText(reinterpret_cast<const uint8_t*>(Mac.data()), Mac.size())
               + "' is not a MAC address like 02:00:00:00:00:01";
    }
    uint64_t Number = NumberOfMac(pUnit->Mac);
    if (Number == 0 || (pUnit->Mac[0] & 0x01) != 0)
    {
        return "MAC address " + MacText(pUnit->Mac) + " is the zero, broadcast or a multicast address, "
               "which no network interface has";
    }
    std::string Problem = NameProblem(Name);
    if (!Problem.empty())
    {
        return "unit name '" + EscapedText(reinterpret_cast<const uint8_t*>(Name.data()), Name.size()) + "' "
               + Problem;
    }
    pUnit->Serial = Serial;
    pUnit->Name = Name;
    return "";
}

// Reads the whole file at pPath into *pText. Returns true on failure
// (reported).
bool ReadWholeFile(const char* pPath, std::string* pText)
{
    FILE* pFile = fopen(pPath, "rb");
    if (pFile == nullptr)
    {
        return ToolError("cannot open %s: %s", pPath, strerror(errno)) != 0;
    }
    char Buffer[65536];
    size_t n;
    while ((n = fread(Buffer, 1, sizeof(Buffer), pFile)) > 0)
    {
        pText->append(Buffer, n);
    }
    bool Failed = ferror(pFile) != 0;
    int Error = errno;
    fclose(pFile);
    return Failed && ToolError("cannot read %s: %s", pPath, strerror(Error)) != 0;
}
}

std::string NameProblem(const std::string& Name)
{
    if (!Utf8IsValid(Name.data(), Name.size()))
    {
        return "is not valid UTF-8";
    }
    if (Name.find('\0') != std::string::npos)
    {
        return "holds a NUL byte";
    }
    if (Name.size() > NameBytes)
    {
        return "is " + std::to_string(Name.size()) + " bytes long; the record holds " + std::to_string(NameBytes);
    }
    return "";
}

bool ReadBatchCsv(const char* pPath, std::vector<BatchUnit_s>* pUnits, std::vector<BadLine_s>* pBad)
{
    std::string Text;
    if (ReadWholeFile(pPath, &Text))
    {
        return true;
    }
    if (Text.rfind(Utf8Bom, 0) == 0)
    {
        Text.erase(0, strlen(Utf8Bom));
    }
    std::vector<int> Columns;       // the column of each field, from the header
    std::map<std::string, size_t> SerialLines;
    std::map<uint64_t, size_t> MacLines;
    size_t LineNumber = 0;
    for (size_t Start = 0; Start < Text.size();)
    {
        size_t End = Text.find('\n', Start);
        End = End == std::string::npos ? Text.size() : End;
        std::string Line = Text.substr(Start, End - Start);
        Start = End + 1;
        LineNumber++;
        if (!Line.empty() && Line.back() == '\r')
        {
            Line.pop_back();
        }
        if (Line.find_first_not_of(" \t") == std::string::npos)
        {
            continue;
        }
        std::vector<std::string> Fields;
        std::string Why;
        if (SplitCsvLine(Line, &Fields, &Why))
        {
            pBad->push_back({LineNumber, Why});
            continue;
        }
        if (Columns.empty())
        {
            if (ColumnsOfHeader(Fields, &Columns))
            {
                return ToolError("%s:%zu: the header line must name the columns serial, mac and name", pPath,
                                 LineNumber) != 0;
            }
            continue;
        }
        if (Fields.size() != Columns.size())
        {
            pBad->push_back({LineNumber, std::to_string(Fields.size()) + " fields, not " + std::to_string(Columns.size())});
            continue;
        }
        std::string Field[3];
        for (size_t i = 0; i < Fields.size(); i++)
        {
            Field[Columns[i]] = Fields[i];
        }
        BatchUnit_s Unit;
        Unit.Line = LineNumber;
        Why = CheckUnit(Field[0], Field[1], Field[2], &Unit);
        if (Why.empty())
        {
            // The first line of a serial number or MAC address keeps it; a
            // later one is the bad line.
            auto Serial = SerialLines.emplace(Unit.Serial, LineNumber).first;
            auto Mac = MacLines.emplace(NumberOfMac(Unit.Mac), LineNumber).first;
            Why = Serial->second != LineNumber ? "serial number " + Unit.Serial + " is on line "
                                                     + std::to_string(Serial->second) + " too"
                  : Mac->second != LineNumber ? "MAC address " + MacText(Unit.Mac) + " is on line "
                                                    + std::to_string(Mac->second) + " too"
                                              : "";
        }
        if (!Why.empty())
        {
            pBad->push_back({LineNumber, Why});
            continue;
        }
        pUnits->push_back(Unit);
    }
    if (Columns.empty() || (pUnits->empty() && pBad->empty()))
    {
        return ToolError("%s holds no units: a header line (serial,mac,name) and a line per unit", pPath) != 0;
    }
    return !pBad->empty();
}

bool ParseSerialRange(const char* pText, BatchRanges_s* pRanges)
{
    std::string Text = pText;
    size_t Dash = Text.find('-');
    std::string First = Text.substr(0, Dash);
    std::string Last = Dash == std::string::npos ? "" : Text.substr(Dash + 1);
    for (const std::string* pSerial : {&First, &Last})
    {
        if (pSerial->size() != 6 || !SerialIsValid(reinterpret_cast<const uint8_t*>(pSerial->data())))
        {
            return true;
        }
    }
    pRanges->FirstSerial = static_cast<uint32_t>(std::stoul(First));
    pRanges->LastSerial = static_cast<uint32_t>(std::stoul(Last));
    return pRanges->FirstSerial > pRanges->LastSerial;
}

bool ParseMacRange(const char* pText, BatchRanges_s* pRanges, std::string* pWhy)
{
    const size_t MacChars = 17;
    std::string Text = pText;
    uint8_t First[6];
    uint8_t Last[6];
    if (Text.size() != 2 * MacChars + 1 || Text[MacChars] != '-' || ParseMac(Text.substr(0, MacChars).c_str(), First)
        || ParseMac(Text.substr(MacChars + 1).c_str(), Last) || NumberOfMac(First) > NumberOfMac(Last))
    {
        *pWhy = "is not a range of MAC addresses like 02:00:00:00:00:00-02:00:00:00:ff:ff";
        return true;
    }
    // The first byte's lowest bit makes an address multicast; a range over
    // two first bytes holds an odd one.
    if (First[0] != Last[0] || (First[0] & 0x01) != 0 || NumberOfMac(First) == 0)
    {
        *pWhy = "holds the zero, broadcast or multicast addresses, which no network interface has";
        return true;
    }
    pRanges->FirstMac = NumberOfMac(First);
    pRanges->LastMac = NumberOfMac(Last);
    return false;
}

std::string NameFromTemplate(const std::string& Template, const std::string& Serial)
{
    const std::string Placeholder = "{serial}";
    std::string Name = Template;
    for (size_t At = Name.find(Placeholder); At != std::string::npos; At = Name.find(Placeholder, At + Serial.size()))
    {
        Name.replace(At, Placeholder.size(), Serial);
    }
    return Name;
}
