// Creates the Starter the way a script host does, by its ProgID (and by its CLSID through
// the "new:" moniker), and hands it "<tag> by-progid" / "<tag> by-clsid". Prints one line
// for each route ("ok" or the error number), and the host's processor architecture.
var tag = WScript.Arguments(0);
function hex(n) { return "0x" + (n >>> 0).toString(16); }
var env = new ActiveXObject("WScript.Shell").Environment("Process");
WScript.Echo("arch: " + env("PROCESSOR_ARCHITECTURE"));
try {
  new ActiveXObject("Veduravevaredav.Starter").startDownload(tag + " by-progid");
  WScript.Echo("progid: ok");
} catch (e) {
  WScript.Echo("progid: " + hex(e.number));
}
try {
  GetObject("new:{C998F1AA-C1F7-4562-97B4-12087D1EA397}").startDownload(tag + " by-clsid");
  WScript.Echo("clsid: ok");
} catch (e) {
  WScript.Echo("clsid: " + hex(e.number));
}
