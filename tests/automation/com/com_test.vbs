' VBScript client of LumoDEZLib as a Windows back office uses it (run by cscript under
' Wine). Saved in code page 1251: cscript reads .vbs files in the ANSI code page.
' Ends with "N passed, M failed" and exit status M (a script error prints nothing and
' exits 0 under Wine, so build.sh checks that line).
Option Explicit
Dim passed, failed
passed = 0
failed = 0

' Errors do not stop the script: every statement runs, and the next Check reports
' an error that a statement left behind as a failure.
On Error Resume Next

Sub Check(cond, what)
  If Err.Number <> 0 Then
    failed = failed + 1
    WScript.Echo "FAIL: " & what & " (error " & Hex(Err.Number) & ": " & Err.Description & ")"
    Err.Clear
  ElseIf cond Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Const XmlHeader = "<?xml version=""1.0"" encoding=""UTF-8""?>"
Dim sample
sample = XmlHeader & vbCrLf & _
  "<ED101 xmlns=""urn:dez-ru:ed:v2.0"" EDNo=""1"" EDDate=""2026-01-01"">" & _
  "<Payer INN=""77""><Name>ООО ""Ромашка""</Name></Payer>" & _
  "<Purpose>Оплата &amp; &lt;товар&gt;</Purpose></ED101>"

Dim fso
Set fso = CreateObject("Scripting.FileSystemObject")

' ---- DEZSign ---------------------------------------------------------------------
Dim s, r, env
Set s = CreateObject("LumoDEZLib.DEZSign")
Check TypeName(s) = "ICBRSign", "TypeName of DEZSign: " & TypeName(s)
Check s.TestMode = False, "new DEZSign: TestMode false"
Check s.Silent = False, "new DEZSign: Silent false"
s.Silent = True
Check s.Silent = True, "Silent written"
s.Silent = False
s.TestMode = True
Check s.TestMode = True, "TestMode written"
Check CInt(s.TestMode) = -1, "TestMode reads -1"

r = s.SignXml(sample, "", 1)
Check Left(r, 38) = XmlHeader, "Childs: declaration"
Check InStr(r, "SigValue") > 0, "Childs: signature values"
r = s.SignXml(sample, "", 2)
Check Left(r, 38) = XmlHeader, "Root: declaration"
Check InStr(r, "SigValue") > 0, "Root: dsig:SigValue"
Check InStr(r, "Ромашка") > 0, "Root: Russian text kept"
env = s.SignXml(sample, "", 3)
Check InStr(env, "SigEnvelope") > 0, "Envelope"
r = s.SignXml(env, "", 4)
Check InStr(r, "Ромашка") > 0, "Verify returns the document"
r = s.SignXml(env, "", 5)
Check InStr(r, "ED101") > 0, "Extract returns the document"
r = s.SignXml("SGVsbG8sIHdvcmxkIQ==", "", 6)
Check InStr(r, "SigEnvelope") > 0, "Base64Envelope"

If fso.FileExists("C:\lumo\payment.vbs.xml") Then fso.DeleteFile "C:\lumo\payment.vbs.xml"
s.SignFile "C:\lumo\payment.xml", "C:\lumo\payment.vbs.xml", "", 2
Check True, "SignFile"
Check fso.FileExists("C:\lumo\payment.vbs.xml"), "SignFile writes the output file"
Dim op
Set op = s.OpenProfile("любой")
Check op Is Nothing, "OpenProfile returns Nothing"
s.CloseProfile "любой"
Check True, "CloseProfile"

' A failing call: Err.Number, Err.Description (Russian), Err.Source.
Dim num, desc, src
Err.Clear
r = s.SignXml("<not-xml", "", 2)
num = Err.Number
desc = Err.Description
src = Err.Source
Err.Clear
Check Hex(num) = "8000FFFF", "Err.Number " & Hex(num)
Check Len(desc) > 0, "Err.Description: " & desc
Check src = "LumoDEZLib.DEZSign", "Err.Source " & src
' Still usable afterwards.
r = s.SignXml(sample, "", 2)
Check InStr(r, "SigValue") > 0, "usable after a failure"
Set s = Nothing

' ---- Profile ---------------------------------------------------------------------
Dim p
Set p = CreateObject("LumoDEZLib.Profile")
Check TypeName(p) = "IProfile", "TypeName of Profile: " & TypeName(p)
Check p.Name = "", "new Profile: empty Name"
Check p.TestMode = False, "new Profile: TestMode false"
Check p.Keyload = 0, "new Profile: Keyload 0"
p.Keyload = 7
Check p.Keyload = 7, "Keyload 7"
p.Keyload = 256
Check p.Keyload = 0, "Keyload 256 reads 0"
p.Name = "Ключ банка"
Check p.Name = "Ключ банка", "Name in Russian"

Err.Clear
r = p.Sign(sample, 2)
num = Err.Number
desc = Err.Description
src = Err.Source
Err.Clear
Check Hex(num) = "8000FFFF", "Sign before Open: Err.Number " & Hex(num)
Check InStr(desc, "Профиль") = 1, "Sign before Open: Err.Description in Russian: " & desc
Check src = "LumoDEZLib.Profile", "Sign before Open: Err.Source " & src

p.TestMode = True
p.Open
Check True, "Profile.Open"
Dim action
For action = 1 To 3
  r = p.Sign(sample, action)
  Check Left(r, 38) = XmlHeader, "Profile.Sign action " & CStr(action)
Next
env = p.Sign(sample, 3)
r = p.Sign(env, 5)
Check Left(r, 38) = XmlHeader, "Profile.Sign Extract starts with the declaration"
r = p.Sign(env, 4)
Check InStr(r, "Ромашка") > 0, "Profile.Sign Verify"
r = p.Sign("SGVsbG8=", 6)
Check InStr(r, "SigEnvelope") > 0, "Profile.Sign Base64Envelope"
p.Close
Check True, "Profile.Close"
Set p = Nothing

WScript.Echo CStr(passed) & " passed, " & CStr(failed) & " failed"
WScript.Quit failed
