# Writes openpyxl.xlsx and xlsxwriter.xlsx as scripts write links: formulas
# naming the other book by file, no link part.
import sys
import warnings

try:
    import openpyxl
    import xlsxwriter
    from openpyxl.formatting.rule import FormulaRule
    from openpyxl.workbook.defined_name import DefinedName
    from openpyxl.worksheet.datavalidation import DataValidation
except ImportError:
    sys.exit(77)

REF = "'[Source.xlsx]Data'!"
wb = openpyxl.Workbook()  # saves no values
ws = wb.active
ws["A1"], ws["A2"] = "=" + REF + "B2", "='C:\\Data\\[Source.xlsx]Data'!B2"
ws["A3"], ws["A4"] = '=INDIRECT("' + REF + 'B2")', 7  # text naming the book is no link
(getattr(wb.defined_names, "add", None) or wb.defined_names.append)(DefinedName("Rate", attr_text=REF + "$B$1"))
dv = DataValidation(type="list", formula1=REF + "$A$1:$A$3")
ws.add_data_validation(dv)
dv.add("B1")
ws.conditional_formatting.add("A4", FormulaRule(formula=["A4>" + REF + "$B$1"]))
wb.save("openpyxl.xlsx")

warnings.simplefilter("ignore")  # of the sheet xlsxwriter does not hold
wb = xlsxwriter.Workbook("xlsxwriter.xlsx")
ws = wb.add_worksheet()
for cell, formula, value in [("A1", REF + "B2", 5), ("A2", "[Source.xlsx]Data!B3*2", 12), ("A3", "Rate+1", 4)]:
    ws.write_formula(cell, "=" + formula, None, value)
wb.define_name("Rate", "=" + REF + "$B$1")
ws.data_validation("B1", {"validate": "list", "source": "=" + REF + "$A$1:$A$3"})
chart = wb.add_chart({"type": "column"})
chart.add_series({"values": "=" + REF + "$B$2:$B$4"})
ws.insert_chart("D2", chart)
wb.close()
