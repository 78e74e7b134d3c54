# Writes openpyxl.xlsx as scripts write links: formulas naming the other
# book by file, no link part, no cached values.
import sys

try:
    import openpyxl
    from openpyxl.formatting.rule import FormulaRule
    from openpyxl.workbook.defined_name import DefinedName
    from openpyxl.worksheet.datavalidation import DataValidation
except ImportError:
    sys.exit(77)

REF = "'[Source.xlsx]Data'!"
wb = openpyxl.Workbook()
ws = wb.active
ws["A1"], ws["A2"] = "=" + REF + "B2", "='C:\\Data\\[Source.xlsx]Data'!B2"
ws["A3"], ws["A4"] = '=INDIRECT("' + REF + 'B2")', 7  # text naming the book is no link
(getattr(wb.defined_names, "add", None) or wb.defined_names.append)(DefinedName("Rate", attr_text=REF + "$B$1"))
dv = DataValidation(type="list", formula1=REF + "$A$1:$A$3")
ws.add_data_validation(dv)
dv.add("B1")
ws.conditional_formatting.add("A4", FormulaRule(formula=["A4>" + REF + "$B$1"]))
wb.save("openpyxl.xlsx")
