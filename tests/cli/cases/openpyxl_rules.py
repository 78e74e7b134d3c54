# Loads a linked workbook with openpyxl, which keeps the link part and its
# cache, and adds what scripts add: a totals row, rules and a validation
# limit reaching into the other book.
import sys

try:
    import openpyxl
    from openpyxl.formatting.rule import ColorScaleRule, FormulaRule
    from openpyxl.styles import PatternFill
    from openpyxl.worksheet.datavalidation import DataValidation
    from openpyxl.worksheet.table import Table, TableColumn, TableFormula
except ImportError:
    sys.exit(77)

REF = "[1]Sheet1!$A$1"
TOTAL = "SUBTOTAL(109,Sales[Amount])*" + REF
wb = openpyxl.load_workbook(sys.argv[1])
ws = wb.active
for row in (["Region", "Amount"], ["north", 4], ["Total", "=" + TOTAL]):
    ws.append(row)
table = Table(displayName="Sales", ref="A2:B4", totalsRowCount=1)
table.tableColumns = [TableColumn(id=1, name="Region", totalsRowLabel="Total"),
                      TableColumn(id=2, name="Amount", totalsRowFunction="custom",
                                  totalsRowFormula=TableFormula(attr_text=TOTAL))]
ws.add_table(table)
ws.conditional_formatting.add("A1:D1", FormulaRule(formula=["A1>" + REF], fill=PatternFill(bgColor="FFFF0000")))
ws.conditional_formatting.add("B3", ColorScaleRule(start_type="formula", start_value=REF, end_type="max",
                                                   start_color="FFF8696B", end_color="FF63BE7B"))
limit = DataValidation(type="decimal", operator="between", formula1="0", formula2=REF)
limit.add("D1")
ws.add_data_validation(limit)
wb.save(sys.argv[1])
