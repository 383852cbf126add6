#include "ulvora/parsers.h"

const std::map<int, std::string> meterKindNames = {
    {0, "electrical"}, {1, "water"}, {2, "gas"}, {3, "steam"}, {4, "btu/energy"}, {5, "event counter"},
};

// A lower-case "m" stands for milli in some rows and for mega in others;
// the texts are the meter's published ones.
const std::map<int, std::string> unitNames = {
    {2, "mA"},           {3, "A"},
    {5, "V"},            {6, "kV"},
    {7, "mV"},           {8, "VA"},
    {9, "kVA"},          {10, "MVA"},
    {11, "VAR"},         {12, "kVAR"},
    {13, "mVAR"},        {14, "degrees Phase"},
    {15, "power factor"}, {16, "J"},
    {17, "KJ"},          {18, "Wh"},
    {19, "kWh"},         {20, "btus"},
    {21, "therms"},      {22, "ton hours"},
    {79, "cu ft"},       {80, "cu m "},
    {81, "imp gal"},     {82, "ltr"},
    {83, "gl"},          {84, "cu ft/min"},
    {85, "cu m/sec"},    {86, "ig/min"},
    {87, "ltr/sec"},     {88, "ltr/min"},
    {89, "gl/min"},      {95, "none"},
    {124, "mV"},         {125, "KJ/kg"},
    {126, "MJ"},         {135, "cu m/hr"},
    {136, "ltr/hour"},   {142, "cu ft/sec"},
    {146, "mWh"},        {147, "kilo btus"},
    {148, "mega btus"},  {165, "cu m/min"},
    {191, "cu ft/hr"},   {192, "gl/hour"},
    {197, "ml"},         {198, "ml/sec"},
    {203, "wrh"},        {204, "kwrh"},
    {205, "mwrh"},       {238, "A sec"},
    {239, "vah"},        {240, "kVAh"},
    {241, "MVAh"},       {242, "varh"},
    {243, "kvarh"},      {244, "mvarh"},
    {245, "V2 hrs"},     {246, "A2 hrs"},
    {248, "cu ft/day"},  {249, "cu m/day"},
    {254, "m cu ft/min"}, {47808, "std cu ft/day"},
    {47809, "M std cu ft/day"}, {47810, "t cu ft/day"},
    {47811, "t std cu ft/day"}, {47812, "lb mass/day"},
};
