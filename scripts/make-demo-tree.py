#!/usr/bin/python3
"""Builds the sample tree the demo FTP server shares: nested folders, Chinese
names and names with blanks, a file of every picture type of the window's
lists, and one large file whose download is slow enough to watch the progress
bar. Usage: make-demo-tree.py ROOT (ROOT must not exist yet)."""

import os
import sys

LARGE_FILE_BYTES = 768 * 1024 * 1024


def write(root, relative, data):
    path = os.path.join(root, relative)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    root = sys.argv[1]
    if os.path.exists(root):
        print(f"{root} exists already; leaving it as it is", file=sys.stderr)
        return 0
    staging = root + ".partial"
    os.makedirs(staging, exist_ok=True)

    text = "Quorvel 示例文件\n".encode("utf-8")
    files = {
        "说明.txt": "这是 Quorvel 演示服务器。\n双击文件夹进入，右键菜单可刷新、重命名。\n".encode("utf-8"),
        "readme": b"A file without an extension.\n",
        ".hidden-settings": b"hidden=1\n",
        "视频/宣传片.avi": b"RIFF" + bytes(4092),
        "视频/比赛回放 第1集.rmvb": b".RMF" + bytes(8188),
        "程序/安装程序.exe": b"MZ" + bytes(20478),
        "程序/运行库.dll": b"MZ" + bytes(10238),
        "程序/UPPER CASE.EXE": b"MZ" + bytes(1022),
        "压缩包/资料.zip": b"PK\x03\x04" + bytes(4092),
        "压缩包/old backup.rar": b"Rar!\x1a\x07\x00" + bytes(2041),
        "压缩包/源码.7z": b"7z\xbc\xaf\x27\x1c" + bytes(3066),
        "图片/头像.jpg": b"\xff\xd8\xff\xe0" + bytes(2044),
        "图片/截图 01.png": b"\x89PNG\r\n\x1a\n" + bytes(2040),
        "图片/图标.ico": bytes(1150),
        "图片/地图.bmp": b"BM" + bytes(3070),
        "图片/动画.gif": b"GIF89a" + bytes(1018),
        "文档/会议 记录.txt": text * 50,
        "文档/报告.pdf": b"%PDF-1.4\n" + bytes(5000),
        "文档/archive.tar.gz": b"\x1f\x8b" + bytes(1022),
        "文档/第一层/第二层/第三层/最深处.txt": text,
        "文档/第一层/第二层/平行 文件夹/note.txt": text,
        "empty folder/.keep": b"",
    }
    for relative, data in files.items():
        write(staging, relative, data)
    os.remove(os.path.join(staging, "empty folder/.keep"))
    os.makedirs(os.path.join(staging, "空文件夹"), exist_ok=True)

    # A sparse file: large to download, nothing on this disk.
    large = os.path.join(staging, "大文件", "游戏客户端 完整版.zip")
    os.makedirs(os.path.dirname(large), exist_ok=True)
    with open(large, "wb") as out:
        out.truncate(LARGE_FILE_BYTES)

    os.rename(staging, root)
    print(f"sample tree made in {root}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
