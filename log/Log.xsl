<?xml version="1.0" encoding="windows-1252"?>
<!-- Shows the event log as a table in a browser. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="windows-1252"/>
  <xsl:template match="/LogFile">
    <html>
      <head>
        <title><xsl:value-of select="AppName"/> log</title>
        <style>
          body { font-family: sans-serif; font-size: 13px; margin: 1.5em; }
          table { border-collapse: collapse; }
          th, td { border-bottom: 1px solid #ddd; padding: 3px 10px; text-align: left; vertical-align: top; }
          th { background: #eee; }
          td.entry { font-family: monospace; white-space: pre-wrap; }
        </style>
      </head>
      <body>
        <h1><xsl:value-of select="AppName"/></h1>
        <p>Started <xsl:value-of select="Date"/>&#160;<xsl:value-of select="Time"/></p>
        <table>
          <tr><th>Date</th><th>Time</th><th>Module</th><th>Function</th><th>Entry</th></tr>
          <xsl:for-each select="LogItem">
            <tr>
              <td><xsl:value-of select="Date"/></td>
              <td><xsl:value-of select="Time"/></td>
              <td><xsl:value-of select="Filename"/></td>
              <td><xsl:value-of select="Function"/></td>
              <td class="entry"><xsl:value-of select="Entry"/></td>
            </tr>
          </xsl:for-each>
        </table>
      </body>
    </html>
  </xsl:template>
</xsl:stylesheet>
