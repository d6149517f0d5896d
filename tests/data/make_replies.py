#!/usr/bin/env python3
"""Writes the status-reply fixtures in replies/: NAME.bin holds the reply bytes exactly as a
unit sends them, NAME.expected the fields a parser must read from it ("field=value" lines).
Run it again after changing a fixture here; the files are committed."""
import os

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "replies")
NOON_2015_03_03 = 1425384000  # 12:00 UTC, so the local date is 03/03/2015 in any time zone nearby


def text(header, *fields, stray=b""):
    body = header
    for f in fields:
        body += "\r" + f
    return stray + body.encode("latin-1")


def write(name, data, expected):
    with open(os.path.join(HERE, name + ".bin"), "wb") as f:
        f.write(data)
    with open(os.path.join(HERE, name + ".expected"), "w") as f:
        for key, value in expected:
            f.write(f"{key}={value}\n")


def fixed(length, code, values):
    record = bytearray(length)
    record[0:6] = bytes([0x01, code, 0xCA, 0xFE, 0x12, 0x34])
    for offset, value in values.items():
        if isinstance(value, (bytes, bytearray)):
            record[offset:offset + len(value)] = value
        else:
            record[offset] = value
    return bytes(record)


write("txgen2-k220-encoder", text(
    "BRYX_TXGEN2:K2100A0001", "NAME:Lobby encoder", "IP:10.77.1.5", "NM:255.255.0.0", "GW:10.77.0.254",
    "MAC:00:1A:2B:00:01:05", "SWVER:3/2/2015", f"WEBVER:{NOON_2015_03_03}", "AUDIOSTATE:1", "BAUD:9600",
    "SPAR:odd", "SP2S:2", "SNUMB:7", "SCALERBYPASS:0", "STREAM:12", "MASSEREN:1", "MASSERIP:10.77.0.9",
    "SERSRCIP:10.77.0.8", "SEROPEN:1", "SLCK:1", "DVIINPUT:Connected", "QUALITY:7", "MOTQUAL:3",
    "EXTREMEQUAL:yes", "AGAINL:5", "AGAINR:6", "SAMPLE:48000", "OUTBWMBS:200", "CLRSPCCOR:1",
    "PTHDMIAUDIO:1", "DVIPASSTHR:Enabled", "PTYUVOUT:1", "PTNEGSYNC:TRUE", "PTSIMDVIDET:0",
    "ND_MRRQ:12ms", "ND_MRRQ_CHG:2", "ND_A_DROP:3", "ND_A_DROP1S:4", "ND_V_DROP:5", "ND_V_DROP1S:6",
    "ND_F_DROP:7", "ND_F_DROP1S:8", "IPMODE:static", "IPTRIAL:0", "UPDATE:1", "MEDIAPORT0: on",
    "MEDIAPORT1:0", "RXSTREAM:4", "RXDISABLED:0", "PLAYLIST:2", "PLAYMODE:playlist", "MEDIASRC:3", "MUTE:0",
    "TXUNICAST:1", "TXUNICASTIP:10.77.9.9", "TXAUDIODELAY:40", "HDMIAUDIO:1", "LIVEAUDIOLP:on",
    "FRAMEHOLD:allow", "VIDOFFNOSTRM:no", "GEN1COMP:0", "CPC:1", "MODE:1080p60.mode", "DVIOFF:0",
    "INPUTRES:1920x1080", "HTTPS:1", "ID:0"), [
    ("deviceType", "ENC"), ("KSeries", 1), ("sn", "K2100A0001"), ("name", "Lobby encoder"),
    ("ip", "10.77.1.5"), ("subnet", "255.255.0.0"), ("gateway", "10.77.0.254"), ("mac", "00:1A:2B:00:01:05"),
    ("swversion", "3/2/2015"), ("webversion", "03/03/2015"), ("audioEnable", 1), ("rs232baud", 9600),
    ("parity", "odd"), ("stopbits", 2), ("databits", 7), ("scalerBypass", 0), ("stream", 12),
    ("masseren", 1), ("masserip", "10.77.0.9"), ("sersrcip", "10.77.0.8"), ("seropen", 1),
    ("settingsLock", 1), ("audiostream", 12), ("hasInputOrDVI", 1), ("imageQuality", 7),
    ("motionQuality", 3), ("extremeImageEnable", 1), ("audioGain", 5), ("audioGainRight", 6),
    ("txsamplerate", 48000), ("txBandwidth", 200), ("disableColorSpace", "1"), ("hdmiAudioPassthru", "1"),
    ("dviEnablePT", 1), ("YCbCrEnablePT", "1"), ("invertDVISync", 1), ("simplifiedDVIEnable", 0),
    ("streamURL", ""), ("ndMrrq", "12ms"), ("ndMrrqChg", 2), ("ndADrop", 3), ("ndADrop1s", 4),
    ("ndVDrop", 5), ("ndVDrop1s", 6), ("ndFDrop", 7), ("ndFDrop1s", 8), ("ipType", "Static IP"),
    ("ipTrial", 0), ("updateStatus", 1), ("p0", 1), ("p1", 0), ("rxstream", 4), ("rxdisabled", 0),
    ("localPlayNum", 2), ("mode", "Playlist 2"), ("modeByte", 3), ("txunicast", 1),
    ("txunicastip", "10.77.9.9"), ("txaudiodelay", 40), ("rxmute", 0), ("hdmiAudio", "1"),
    ("inputAudioForHostPlayEnable", 1), ("lastFrameHoldEnable", 1), ("dviOffStreamLossEnable", 0),
    ("onePixShiftEnable", "0"), ("allowCopyProtect", 1), ("resolution", "1080p60"), ("dviEnable", 1),
    ("https", 1), ("idButton", 0), ("fcpc", "auto"), ("fwversion", "")])

write("txgen2-k330-stray-bytes", text(
    "BRYX_TXGEN2:K3100B0002", "NAME:Stage", "IP:10.77.1.6", "NM:255.255.255.0", "SWVER:1/5/2016",
    "MAC:00:1A:2B:00:01:06", "SCALERBYPASS:ON", "STREAMURL:rtsp://10.77.1.6/live", "XPORTSTREAM:1",
    "MODE:720p.mode", "INPUTRES:3840x2160", "WEBVER:0", "PLAYMODE:live", "MUTE:on", "DVIOFF:true",
    stray=b"\x07\x00xy"), [
    ("deviceType", "ENC"), ("KSeries", 1), ("sn", "K3100B0002"), ("mac", "00:1A:2B:00:01:06"),
    ("scalerBypass", 1), ("streamURL", "rtsp://10.77.1.6/live"), ("transportenable", 1),
    ("resolution", "3840x2160"), ("webversion", "Unknown"), ("mode", "Live Play"), ("audioEnable", 0),
    ("rxmute", 0), ("dviEnable", 0), ("stream", 0), ("ipType", "Unknown"), ("gateway", ""),
    ("updateStatus", 0)])

write("txgen2-text-legacy", text(
    "BRYX_TXGEN2:JT1000001", "NAME:Text legacy", "IP:10.77.1.7", "MAC:00:1A:2B:00:01:07", "MASSEREN:1",
    "SLCK:1", "SCALERBYPASS:1", "MODE:1080i", "INPUTRES:999x999", "WEBVER:abc"), [
    ("deviceType", "ENC"), ("KSeries", 0), ("sn", "JT1000001"), ("masseren", 0), ("settingsLock", 0),
    ("scalerBypass", 1), ("resolution", "1080i"), ("webversion", "Unknown")])

write("rxgen2-k330-decoder", text(
    "BRYX_RXGEN2:K3200C0003", "NAME:Wall decoder", "IP:10.77.1.8", "NM:255.255.0.0", "GW:10.77.0.1",
    "MAC:00:1A:2B:00:01:08", "SWVER:12/24/2015", f"WEBVER:{NOON_2015_03_03}", "STREAM:33",
    "STREAMAUDIO:34", "DVISTATUS:off", "LINEOUTVOL_L:70", "LINEOUTVOL_R:71", "YUVOUT:1", "NEGSYNC:1",
    "SIMDVIDET:enabled", "FCPC:manual", "SLCK:2", "MASSEREN:0", "HDMIAUDIO:0", "GEN1COMP:1", "CPC:0",
    "MODE:1080p.mode.mode", "HTTPS:0", "IPMODE:DHCP", "IPTRIAL:1", "UPDATE:0", "MEDIAPORT0:1",
    "MEDIAPORT1:ON"), [
    ("deviceType", "DEC"), ("KSeries", 1), ("sn", "K3200C0003"), ("name", "Wall decoder"),
    ("stream", 33), ("audiostream", 34), ("hasInputOrDVI", 0), ("lineoutvolLeft", 70),
    ("lineoutvolRight", 71), ("YCbCrEnable", "1"), ("invertDVISync", 1), ("simplifiedDVIEnable", 1),
    ("fcpc", "manual"), ("settingsLock", 2), ("hdmiAudio", "0"), ("onePixShiftEnable", "1"),
    ("allowCopyProtect", 0), ("resolution", "1080p"), ("https", 0), ("ipType", "DHCP"), ("ipTrial", 1),
    ("updateStatus", 0), ("p0", 1), ("p1", 1), ("mode", "Playlist 0"), ("audioEnable", 1),
    ("dviEnable", 1), ("webversion", "03/03/2015"), ("swversion", "12/24/2015"), ("gateway", "10.77.0.1")])

write("rxgen2-id-button", text(
    "BRYX_RXGEN2:K2200A0013", "NAME:Desk", "IP:10.77.1.19", "MAC:00:1A:2B:00:01:13", "ID:1"), [
    ("deviceType", "DEC"), ("KSeries", 1), ("idButton", 1), ("name", "Desk"), ("ip", "10.77.1.19")])

write("rxgen2-id-zero", text(
    "BRYX_RXGEN2:K2200A0014", "NAME:Desk two", "IP:10.77.1.20", "MAC:00:1A:2B:00:01:14", "ID:0"), [
    ("idButton", 0)])

write("dvrgen2-recorder", text(
    "BRYX_DVRGEN2:JD2000004", "NAME:Recorder", "IP:10.77.1.9", "NM:255.255.0.0", "SWVER:1/29/2014",
    "DVRMODE:2", "S_PLAY0A:11", "S_PLAY1A:12", "S_PLAY9A:19", "S_PLAY0B:21", "S_RECV0A:31", "S_RECV5A:35",
    "S_RECV0B:41", "S_RECA0A:51", "S_RECA9A:59", "S_RECA0B:61", "ISREC:yes", "ISPLAY:no", "AUDIOON:1",
    "FREE:120GB", "MPEGDATE:2015-03-01", "INDEXDATE:2015-03-02", "MPEGFILE:clip.mpg", "MPEGMODE:HD",
    "MPEGPCNT:45", "CPMODE:2", "CPC:1", "MAC:00:1A:2B:00:01:09", "RXSTREAM:7", "PLAYMODE:live",
    "HDMIAUDIO:1", "MODE:1080p.mode", f"WEBVER:{NOON_2015_03_03}", "GW:10.77.0.254"), [
    ("deviceType", "DVR"), ("sn", "JD2000004"), ("KSeries", 0), ("fwversion", "1/29/2014"),
    ("kSeriesMode", 2), ("playChannel[0]", 11), ("playChannel[1]", 12), ("playChannel[2]", 0),
    ("playChannel[9]", 19), ("playstream0", 11), ("playstream1", 21), ("recordChannelVid[0]", 31),
    ("recordChannelVid[5]", 35), ("recordstream0", 31), ("recordstream1", 41),
    ("recordChannelAud[0]", 51), ("recordChannelAud[9]", 59), ("recordAudioStream0", 51),
    ("recordAudioStream1", 61), ("isRec", "yes"), ("isPlay", "no"), ("audioon", "1"),
    ("diskFree", "120GB"), ("mpegdate", "2015-03-01"), ("indexdate", "2015-03-02"),
    ("mpegFile", "clip.mpg"), ("mpegMode", "HD"), ("mpegstatus", "45%%"), ("allowCopyProtect", 2),
    ("rxstream", 0), ("mode", ""), ("hdmiAudio", "1"), ("resolution", "1080p"),
    ("mac", "00:1A:2B:00:01:09"), ("webversion", "03/03/2015"), ("gateway", "10.77.0.254")])

write("dvrgen2-percent-zero", text(
    "BRYX_DVRGEN2:JD2000005", "MAC:00:1A:2B:00:01:0A", "MPEGPCNT:0"), [("mpegstatus", "")])

write("atr9-audio", text(
    "BRYX_ATR9:AT3000006", "NAME:Audio one", "OUTSTREAM:5", "IP:10.77.1.11", "NM:255.255.0.0",
    "GW:10.77.0.254", "MAC:00:1A:2B:00:01:0B", "AUDIOSTATE:1", "SWVER:6/1/2015",
    f"WEBVER:{NOON_2015_03_03}", "IPMODE:Auto", "IPTRIAL:0", "UPDATE:0", "MEDIAPORT0:0", "MEDIAPORT1:1",
    "RXSTREAM:8", "RXDISABLED:0", "MEDIASRC:17", "DISABLED:0", "TXUNICAST:1", "TXUNICASTIP:10.77.5.5",
    "TXSAMPLE:44100", "TXAUDIODELAY:12", "HEADPHONEVOL_L:50", "HEADPHONEVOL_R:51", "LINEOUTVOL_L:60",
    "LINEOUTVOL_R:61", "RXMUTE:1"), [
    ("deviceType", "ATR"), ("sn", "AT3000006"), ("name", "Audio one"), ("stream", 5), ("ip", "10.77.1.11"),
    ("subnet", "255.255.0.0"), ("gateway", "10.77.0.254"), ("mac", "00:1A:2B:00:01:0B"),
    ("audioEnable", 1), ("swversion", "6/1/2015"), ("webversion", "03/03/2015"), ("ipType", "Auto IP"),
    ("p0", 0), ("p1", 1), ("rxstream", 8), ("rxdisabled", 0), ("modeByte", 17), ("txunicast", 1),
    ("txunicastip", "10.77.5.5"), ("txsamplerate", 44100), ("txaudiodelay", 12),
    ("headphonevolLeft", 50), ("headphonevolRight", 51), ("lineoutvolLeft", 60), ("lineoutvolRight", 61),
    ("rxmute", 1), ("mode", "Enabled"), ("rxmode", "Muted")])

write("k440-audio", text(
    "BRYX_K440:K4300007", "NAME:K4 audio", "IP:10.77.1.12", "MAC:00:1A:2B:00:01:0C", "RXDISABLED:1",
    "MEDIASRC:16", "SWVER:2/2/2016"), [
    ("deviceType", "ATR"), ("sn", "K4300007"), ("audioEnable", 0), ("mode", "Disabled"),
    ("rxmode", "Disabled"), ("swversion", "2/2/2016")])

write("jwp4-windowing", text(
    "BRYX_JWP4:JWB000008", "NAME:Video wall", "IP:10.77.1.13", "NM:255.255.0.0", "MAC:00:1A:2B:00:01:0D",
    "SWVER:1/28/2013", "W0STREAM:1", "W1STREAM:2", "W2STREAM:3", "W3STREAM:4", "VIDEOMODE:1080p.mode",
    "AUDIOSTREAM:9", "MACUN0:00:1A:2B:00:02:00", "MACUN1:00:1A:2B:00:02:01", "IPUN0:10.77.2.1",
    "IPUN1:10.77.2.2"), [
    ("deviceType", "WP"), ("sn", "JWB000008"), ("ip", "10.77.1.13"), ("mac", "00:1A:2B:00:01:0D"),
    ("wstream0", 1), ("wstream1", 2), ("wstream2", 3), ("wstream3", 4), ("resolution", "1080p"),
    ("audiostream", 9), ("mac0", "00:1A:2B:00:02:00"), ("mac1", "00:1A:2B:00:02:01"), ("mac2", ""),
    ("ip0", "10.77.2.1"), ("ip1", "10.77.2.2"), ("videomode", "")])

write("wpcgen2-panel", text(
    "BRYX_WPCGEN2:K8300009", "NAME:Panel", "IP:10.77.1.14", "MAC:00:1A:2B:00:01:0E", "SWVER:7/7/2015",
    "UPDATE:1"), [
    ("deviceType", "WPC"), ("sn", "K8300009"), ("name", "Panel"), ("updateStatus", 1)])

write("vod-server", text(
    "BRYX_VOD:K7200010", "NAME:Media server", "ETH0_MAC:00:1A:2B:00:01:0F", "ETH0_IP:10.77.1.15",
    "ETH0_NETMASK:255.255.0.0", "ETH1_MAC:00:1A:2B:00:01:10", "ETH1_IP:192.168.50.2",
    "ETH1_NETMASK:255.255.255.0", "SWVER:4/4/2016", f"WEBVER:{NOON_2015_03_03}", "UPDATE:1"), [
    ("deviceType", "VOD"), ("sn", "K7200010"), ("name", "Media server"), ("mac", "00:1A:2B:00:01:0F"),
    ("ip", "10.77.1.15"), ("subnet", "255.255.0.0"), ("eth1_macStr", "00:1A:2B:00:01:10"),
    ("eth1_ipAddr", "192.168.50.2"), ("eth1_netMask", "255.255.255.0"), ("swversion", "4/4/2016"),
    ("webversion", "03/03/2015"), ("updateStatus", 1), ("isConductor", 0)])

write("vod-without-mac", text("BRYX_VOD:K7200011", "NAME:No mac", "ETH0_IP:10.77.1.16"), [
    ("deviceType", "VOD"), ("mac", ""), ("ip", "10.77.1.16")])

write("conductor", text(
    "BRYX_CONDUCTOR:KD1000012", "NAME:Director one", "ETH0_MAC:00:1A:2B:00:01:11", "ETH0_IP:192.168.0.10",
    "ETH0_NETMASK:255.255.255.0", "ETH1_MAC:00:1A:2B:00:01:12", "ETH1_IP:10.77.1.17",
    "ETH1_NETMASK:255.255.0.0", "ETH0_1_IP:192.168.0.11", "ETH0_NETMASK_2:255.255.255.0",
    "ETH1_1_IP:10.77.1.18", "ETH1_NETMASK_2:255.255.0.0"), [
    ("deviceType", "Conductor"), ("isConductor", 1), ("sn", "KD1000012"), ("name", "K-Director"),
    ("mac", "00:1A:2B:00:01:12"), ("ip", "10.77.1.17"), ("subnet", "255.255.0.0"),
    ("eth0_macStr", "00:1A:2B:00:01:11"), ("eth0_ipAddr", "192.168.0.10"),
    ("eth0_ipAddr_2", "192.168.0.11"), ("eth0_netMask_2", "255.255.255.0"),
    ("eth1_ipAddr_2", "10.77.1.18"), ("eth1_netMask_2", "255.255.0.0")])

rejected = [("reject-k-not-4", b"BRYX_K5X:K5\rMAC:00:11:22:33:44:55"),
            ("reject-v-not-o", b"BRYX_VX:K7\rETH0_MAC:00:11:22:33:44:55"),
            ("reject-w-not-p", b"BRYX_WX:K8\rMAC:00:11:22:33:44:55"),
            ("reject-unknown-kind", b"BRYX_QGEN2:Q1\rMAC:00:11:22:33:44:55"),
            ("reject-header-only", b"BRYX_"),
            ("reject-no-header", b"hello\rMAC:00:11:22:33:44:55"),
            ("reject-empty", b"")]
for name, data in rejected:
    write(name, data, [("mac", ""), ("deviceType", ""), ("sn", "")])

write("fixed-encoder", fixed(440, 0x97, {
    15: bytes([10, 77, 1, 30]), 19: bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E]), 25: 0x34, 30: 0x01,
    29: 0x13, 50: 7, 51: 2, 52: b"Old encoder\0", 132: b"JT0012345\0", 164: 0x35, 165: 0x12, 28: 1,
    250: 0x01, 251: 0x02, 168: bytes([0, 1, 0, 0]), 31: 0x09, 43: 64, 47: 46, 44: 0x10, 45: 0x01, 46: 0x08,
    224: bytes([0x40, 0x42, 0x0F, 0x00]), 49: 0x95, 269: 5, 262: 0x08, 176: 0xFF, 177: 0xF6, 178: 0x80,
    179: 0x00, 236: bytes([255, 255, 0, 0]), 240: bytes([10, 77, 0, 254]), 27: 1, 223: 1, 172: 0x05,
    436: bytes([0, 255, 255, 1]), 185: 0x80, 186: 0x07, 189: 0x38, 190: 0x04, 26: 0x21}), [
    ("deviceType", "ENC"), ("KSeries", 0), ("ip", "10.77.1.30"), ("mac", "00:1A:2B:3C:4D:5E"),
    ("stream", 308), ("ipType", "Static IP"), ("audiostream", 519), ("name", "Old encoder"),
    ("sn", "JT0012345"), ("swversion", "3/18/5"), ("fwversion", "0/0/0"), ("isMaster", 1),
    ("audioGain", 2), ("imageQuality", 258), ("compressionSize", 65536), ("motionQuality", 7),
    ("allowCopyProtect", 1), ("ttl", 64), ("dscp", 46), ("vlanNum", 272), ("vlanTagEnable", 1),
    ("txBandwidth", 1000000), ("extremeImageEnable", 1), ("uncompressedImageEnable", 0),
    ("inputAudioForHostPlayEnable", 1), ("useHostPlayforUnsupportedModeEnable", 0),
    ("disableColorSpace", "1"), ("hdmiAudio", "1"), ("customSettings", 149), ("customSettings2", 9),
    ("txCustom", 5), ("gratuitousArp", 1), ("hzOffset", -10), ("vtOffset", 32768),
    ("subnet", "255.255.0.0"), ("gateway", "10.77.0.254"), ("audioEnable", 1), ("hasInputOrDVI", 1),
    ("p0", 1), ("p1", 1), ("p2", 0), ("edid", "0 255 255 1"), ("resolution", "1080p"),
    ("localPlayNum", 0), ("mode", "Live Play"), ("modeByte", 33)])

write("fixed-decoder", fixed(440, 0x99, {
    15: bytes([10, 77, 1, 31]), 19: bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F]), 29: 0x02,
    52: b"Old decoder\0", 132: b"JR0054321\0", 164: 0x14, 165: 0x1D, 265: bytes([0, 0, 0x25, 0x80]),
    269: 0x1B, 49: 0x7F, 31: 0x09, 262: 0x01, 263: 2, 264: 3, 270: 4, 271: 5, 435: 0x03,
    436: bytes([1, 2, 3, 4]), 172: 0x02, 26: 0x30, 185: 0x00, 186: 0x05, 189: 0xD0, 190: 0x02,
    236: bytes([255, 255, 255, 0]), 240: bytes([10, 77, 1, 254])}), [
    ("deviceType", "DEC"), ("ip", "10.77.1.31"), ("mac", "00:1A:2B:3C:4D:5F"), ("ipType", "DHCP"),
    ("name", "Old decoder"), ("sn", "JR0054321"), ("swversion", "1/29/4"), ("rs232baud", 9600),
    ("databits", 8), ("stopbits", 1), ("parity", "even"), ("hdmiAudio", "1"), ("useStreamAudioInLocal", 1),
    ("YCbCrEnable", "1"), ("simplifiedDVIEnable", 1), ("lastFrameHoldEnable", 1),
    ("onePixShiftEnable", "1"), ("dviOffStreamLossEnable", 1), ("saveStreamOnSwitch", 1),
    ("customSettings", 127), ("customSettings2", 9), ("gratuitousArp", 1), ("remoteEnable", 1),
    ("remoteCommandstart", 2), ("remotesynch", 3), ("remotestart", 4), ("remotestop", 5),
    ("hasInputOrDVI", 1), ("edid", "1 2 3 4"), ("p0", 0), ("p1", 1), ("p2", 0), ("localPlayNum", 4),
    ("mode", "Playlist 4"), ("modeByte", 48), ("resolution", "720p"), ("subnet", "255.255.255.0"),
    ("gateway", "10.77.1.254")])

write("fixed-decoder-no-edid", fixed(440, 0x99, {
    19: bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x60]), 435: 0x02, 436: bytes([1, 2, 3, 4])}), [
    ("hasInputOrDVI", 1), ("edid", ""), ("resolution", "0x0")])

write("fixed-recorder-original", fixed(512, 0x97, {
    15: bytes([10, 77, 1, 32]), 19: bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x61]), 52: b"Old recorder\0",
    132: b"JD0077777\0", 164: 0x14, 165: 0x1D, 236: bytes([255, 255, 0, 0]), 240: bytes([10, 77, 0, 254]),
    26: 0x03, 263: 0x01, 173: 9, 223: 0xC0, 27: 1, 451: 1, 25: 2, 452: 0, 49: 5, 453: 0, 28: 6, 454: 1,
    405: 1, 51: 0, 50: 7, 227: 0, 226: 8, 417: b"  clip01.mpg  \0", 220: 0x80}), [
    ("deviceType", "DVR"), ("ip", "10.77.1.32"), ("mac", "00:1A:2B:3C:4D:61"), ("sn", "JD0077777"),
    ("fwversion", "0/0/0"), ("subnet", "255.255.0.0"), ("gateway", "10.77.0.254"),
    ("mode", "Play&Rec Hold"), ("modeByte", 9), ("mpegstatus", "%50"), ("audioEnable", 1),
    ("playstream0", 258), ("playstream1", 5), ("recordstream0", 6), ("recordstream1", 257),
    ("recordAudioStream0", 7), ("recordAudioStream1", 8), ("playFile", "clip01.mpg"),
    ("customSettings", 1), ("dvrbusy", 128), ("stream", 2), ("edid", ""), ("resolution", "")])

# A recorder with recorder firmware: this layout is not its full status; the parser asks again.
write("fixed-recorder-firmware", fixed(512, 0x97, {
    15: bytes([10, 77, 1, 33]), 19: bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x62]), 132: b"JD0088888\0",
    166: 0x14, 167: 0x1D}), [("mac", ""), ("deviceType", "")])

write("fixed-short", fixed(30, 0x97, {
    15: bytes([10, 77, 1, 40]), 19: bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x63])}), [
    ("deviceType", "ENC"), ("ip", "10.77.1.40"), ("mac", "00:1A:2B:3C:4D:63"), ("name", ""), ("sn", ""),
    ("swversion", "0/0/0"), ("subnet", "0.0.0.0"), ("resolution", "No Source"), ("mode", "Playlist 1"),
    ("edid", ""), ("hzOffset", 0)])
