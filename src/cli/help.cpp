#include "cli/help.hpp"

#include <new>

#include "cli/console.hpp"

namespace ostrel {

const doc_row doc_usage_table[doc_usage_rows + 1] = {
    {"", 0, "Configuration", doc_heading},
    {"", 0, "Ostrel operates in three modes:", doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "(S)MTP mode is the default and is used when Ostrel is both constructing and sending an "
     "e-mail.",
     doc_paragraph},
    {"", 0,
     "(F)ile mode can be used to construct an e-mail message for subsequent delivery via either "
     "Ostrel or another application.",
     doc_paragraph},
    {"", 0,
     "(P)reconstructed e-mail mode is used to send e-mails constructed using File mode or another "
     "application.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "Not all settings can be used with each mode. E.g., Settings labelled SF- apply only to SMTP "
     "and File modes.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "Ostrel applies configuration options from a default configuration file, a command line "
     "specified configuration file, and from the command line itself, in that order. Settings for "
     "which multiple values can be assigned (E.g., -to) are ADDED from each configuration. For "
     "settings that can only be specified once, the last occurrence will be used. I.e. You can "
     "specify a default configuration in ostrel.conf, and override settings for individual "
     "messages by specifying another config file, or via the command line.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "Command line parameters will undergo code page conversion, unless -clutf8 is specified. "
     "Configuration files are assumed to be UTF-8 or ASCII.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "The default configuration is stored in ostrel.conf in the folder named by $APPDATA, else "
     "$XDG_CONFIG_HOME, else $HOME/.config.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "Configuration files must contain one setting per line, and do not include the '-' prefix. A "
     "'#' may be used to comment out a line.",
     doc_paragraph},
    {"", 0, "Mandatory Options / Mode Selection", doc_heading},
    {"", 0, "", doc_table_start},
    {"-host:[user:pass@]host[:port]", 5,
     "Specifies the SMTP server to be used to deliver the message. A username and password may "
     "optionally be specified for SMTP authentication. If user credentials are supplied, implies "
     "-starttls if authentication is not offered prior to STARTTLS. If -oauth is specified, use "
     "the OAuth token as the password.",
     doc_option},
    {"-file:file", 2, "Enables (F)ile mode and specifies a filename to output the e-mail to.",
     doc_option},
    {"-emailfile:file", 4,
     "Enables (P)reconstructed e-mail mode and specifies a file containing a preconstructed e-mail "
     "for delivery via SMTP.",
     doc_option},
    {"-from:address[:alias]", 7,
     "Specifies the e-mail address, with optional alias, to appear in the 'From' header of the "
     "message. This setting is required for SMTP and File modes. In Preconstructed mode, the "
     "'From' header will be used if this setting is omitted.",
     doc_option},
    {"", 0, "", doc_table_end},
    {"", 0, "Recipients", doc_heading},
    {"", 0, "", doc_table_start},
    {"-to:address[:alias[:DSN]]|@file", 7,
     "Adds a recipient in the 'To' field of the message or specifies the name of a file containing "
     "a list of recipients. This setting may be specified multiple times.",
     doc_option},
    {"-cc:address[:alias[:DSN]]|@file", 7, "As above, for CC recipients.", doc_option},
    {"-bcc:address[::DSN]|@file", 7, "As above, for BCC recipients.", doc_option},
    {"-reply-to:address[:alias]", 7,
     "Specifies the e-mail address to which replies should be sent.", doc_option},
    {"", 0, "", doc_table_end},
    {"", 0,
     "The -to, -cc, and -bcc settings each add either a recipient to the message or a list of "
     "recipients from file.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "For a single recipient, the first field, the e-mail address, is required. The second field "
     "is the display name, usually the name of the recipient; it may be enclosed in double quotes, "
     "which are only needed when it contains a colon. The last field holds the DSN types for this "
     "recipient, written as for -dsn. E.g., -to:john@example.com:\"John Smith\":DF requests a DSN "
     "on delay and failure. Where no display name is wanted, or for BCC recipients where none is "
     "possible, the field may be left empty. E.g., -bcc:jane@example.com::SFD.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "To add the recipients listed in a file, prefix the file name with @. E.g., "
     "-to:@recipients.txt. The file holds one recipient per line, either as a display name "
     "followed by the address in angle brackets, or as a bare address, both without quotes. E.g., "
     "John Smith <john@example.com> or jane@example.com.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "When -emailfile is used, recipients will be determined by the To, Cc and Bcc header fields "
     "of the "
     "preconstructed message if a recipient setting is not present. In all other cases, at least "
     "one recipient setting is required.",
     doc_paragraph},
    {"", 0, "Content And Formatting", doc_heading},
    {"", 0, "", doc_table_start},
    {"-subject:subject text", 7, "Specifies the message subject (literal string).", doc_option},
    {"-body:message body", 3,
     "Specifies the message body. Note: '\\\\','\\r','\\n', and '\\t' are valid escape codes.",
     doc_option},
    {"-body-file:file[:charset]", 3,
     "Specifies a file containing the message body. Implies -body-qp (-body-64 may also be "
     "specified).",
     doc_option},
    {"-body-64", 3, "Use base64 encoding for the message body.", doc_option},
    {"-body-qp", 3, "Use quoted-printable encoding for the message body.", doc_option},
    {"-body-html:file", 3,
     "Specifies a file name containing a UTF-8 encoded HTML body. Attached images can be referred "
     "to using their Content-ID if attached using -ai.",
     doc_option},
    {"-head:header:value", 7,
     "Add the specified header and header value to the message. This option may be specified "
     "multiple times. E.g., -head:X-No-Archive:Yes.",
     doc_option},
    {"-delhead:header", 4,
     "Remove the specified header. This option may be specified multiple times.", doc_option},
    {"-rawhead", 4,
     "Preserve original headers. Can be used with -head and -delhead but all other header settings "
     "will be ignored. Non-configurable headers such as Date and Message-ID will not be modified.",
     doc_option},
    {"-linelen:length", 3,
     "Specifies the line length for the plain text message body. The minimum and default is 78 "
     "characters. The maximum is 998 characters.",
     doc_option},
    {"-mime", 3, "Force use of MIME for the message body in messages without attachments.",
     doc_option},
    {"-dotstuff", 2,
     "Replace '.' with '..' at the start of lines. Use with third-party tools that do not "
     "automatically do this when onsending via SMTP.",
     doc_option},
    {"-priority:n", 7,
     "Set the message priority to 'n', 1 = Highest, 2 = High, 4 = Low, 5 = Lowest.", doc_option},
    {"--", 3, "Read message body from stdin.", doc_option},
    {"", 0, "", doc_table_end},
    {"", 0, "Attachments", doc_heading},
    {"", 0, "", doc_table_start},
    {"-a:file", 3,
     "Attach the specified file. Ostrel will select base64 or quoted-printable encoding "
     "automatically. Files containing >85% ASCII text in the first 4kB will be quoted-printable "
     "encoded. Attachments of type message/* will use 7-bit transfer encoding for RFC compliance.",
     doc_option},
    {"-a64:file", 3,
     "Attach the specified file using base64 encoding. Attachments of type message/* will be "
     "identified as text/plain.",
     doc_option},
    {"-aqp:file", 3,
     "Attach the specified file using quoted-printable encoding. Attachments of type message/* "
     "will be identified as text/plain.",
     doc_option},
    {"-ai:file", 3,
     "Attach the specified file as an inline (multipart/related) attachment, usually used for "
     "images referenced in a HTML message body. The Content-ID is the file name, URL encoded where "
     "applicable. This value is case-sensitive. Requires -body-html.",
     doc_option},
    {"-auu:file", 3,
     "Attach the specified file using uuencoding. These attachments are encoded within the message "
     "body.",
     doc_option},
    {"-awild:options:pattern[/...]", 3,
     "Attach multiple files matching one or more patterns. See below.", doc_option},
    {"", 0, "", doc_table_end},
    {"", 0,
     "Using the -awild option, Ostrel supports adding multiple attachments from a source directory "
     "using patterns. Multiple patterns may be specified, separated by '/', and are evaluated from "
     "left to right. Patterns may include standard wildcard characters '*' or '?', and character "
     "sets and ranges [], and may be prefixed with a logical NOT operator '!'. In addition to the "
     "patterns, a number of options are available to modify the behaviour.",
     doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0, "Options (Case sensitive):", doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0, "H - Include hidden files", doc_paragraph},
    {"", 0, "S - Include system files", doc_paragraph},
    {"", 0, "A - Include ONLY files with the Archive attribute set", doc_paragraph},
    {"", 0, "R - Recursive (include files in subdirectories)", doc_paragraph},
    {"", 0, "C - Case sensitive matching", doc_paragraph},
    {"", 0, "U - Use uuencoding", doc_paragraph},
    {"", 0, "6 - Use base64 encoding", doc_paragraph},
    {"", 0, "Q - Use quoted-printable encoding", doc_paragraph},
    {"", 0, "I - Create inline attachments for use with -body-html", doc_paragraph},
    {"", 0, "", doc_paragraph},
    {"", 0,
     "E.g., To recursively include logs from 1970, but exclude any .tmp files, you could do the "
     "following -awild:R:/var/log/1970*/!*.tmp",
     doc_paragraph},
    {"", 0, "Connection Options", doc_heading},
    {"", 0, "", doc_table_start},
    {"-4", 5, "Force the use of IPv4.", doc_option},
    {"-6", 5, "Force the use of IPv6.", doc_option},
    {"-authtypes:type[,type...]", 5,
     "A comma-separated list of authentication types which may be used with the upstream server. "
     "Supported values are CRAM-MD5, PLAIN, LOGIN, OAUTHBEARER and XOAUTH2.",
     doc_option},
    {"-helo:hostname", 5, "Use the specified hostname in HELO/EHLO.", doc_option},
    {"-oauth", 5, "The password is an OAuth token.", doc_option},
    {"-return-path:address", 5, "Specify the return path (envelope) address.", doc_option},
    {"-proxy:[user:pass@]host[:port]", 5,
     "Connect via a proxy. Authentication is only supported for HTTPS proxies.", doc_option},
    {"-proxytype:type", 5,
     "Specify the type of proxy being connected to. Supported proxy types are SOCKS (default proxy "
     "type, default port 1080), and HTTPS (default port 8080).",
     doc_option},
    {"-requiretls", 5, "Require TLS be used for mail delivery. Implies -starttls.", doc_option},
    {"-starttls", 5, "Attempt to use TLS if STARTTLS is advertised in response to EHLO.",
     doc_option},
    {"-smtps", 5,
     "Specifies that the port being connected to uses SMTPS (SSL/TLS without STARTTLS). This "
     "setting changes the default port to 465. This method of securing mail transfer is "
     "deprecated, use -starttls if the target server supports that method.",
     doc_option},
    {"-verify", 5,
     "Verify certificate when connecting using SMTPS or STARTTLS is used. Note, this setting only "
     "verifies certificates when TLS is used. Add -requiretls if TLS is required.",
     doc_option},
    {"-verify-ca-path:path", 5,
     "Specifies the CA path to use for certificate validation. Certificates should be in cert.pem "
     "or the certs subdirectory. Required if -verify is specified.",
     doc_option},
    {"-tls-ciphers:ciphers", 5,
     "Set which ciphers can be used (values from libtls). Values are secure, compat, legacy and "
     "all. Default is all.",
     doc_option},
    {"-tls-protocols:proto[,proto...]", 5,
     "Comma-separated list of protocols that may be used (values from libtls). Values are tlsv1.0, "
     "tlsv1.1, tlsv1.2, tlsv1.3, secure and all. Default is all.",
     doc_option},
    {"-timeout:seconds", 5, "Sets the socket timeout.", doc_option},
    {"", 0, "", doc_table_end},
    {"", 0, "Delivery Status Notification (DSN) / Message Disposition Notification (MDN)",
     doc_heading},
    {"", 0, "", doc_table_start},
    {"-dsn:options", 5,
     "Specifies the default DSN types to request if no DSN settings are specified for the "
     "recipient, using the first letter of each DSN type. Acceptable values are (S)uccess, "
     "(F)ailure, (D)elay, and (N)ever. E.g., -dsn:SFD will request a DSN for success, failure and "
     "delay. If (N)ever is included in the list, it will take precedence over all other values.",
     doc_option},
    {"-dsnid:id", 5, "Sets the envelope ID for DSN requests. If not set, a random ID will be used.",
     doc_option},
    {"-mdn", 7, "Request MDN (read receipt).", doc_option},
    {"", 0, "", doc_table_end},
    {"", 0, "DomainKeys Identified Mail (DKIM)", doc_heading},
    {"", 0,
     "Ostrel can optionally sign e-mail using DKIM signatures. DKIM is an advanced option "
     "requiring the creation of public/private key pairs and editing DNS records. DKIM signing is "
     "usually performed by e-mail submission servers. Refer to RFC 6376 for additional "
     "information.",
     doc_paragraph},
    {"", 0, "", doc_table_start},
    {"-dkim:domain:selector:key", 7,
     "Specifies a domain, selector and the associated key file (in PEM format) to allow DKIM "
     "signing of e-mail. This setting can be specified multiple times, allowing for dual signing "
     "using RSA and Ed25519 keys. When specified multiple times, the last specified selector for "
     "the sending (or default) domain and key type will be used.",
     doc_option},
    {"-dkim-default:domain", 7,
     "The default domain and associated selector will be used if no specific -dkim option matches "
     "the sender's from domain.",
     doc_option},
    {"-dkim-algo:algorithm", 7,
     "Use the specified DKIM signing algorithm. Supported values are ed25519-sha256, rsa-sha256, "
     "rsa-sha1, best (default) and all. This setting may be specified multiple times. The best "
     "setting follows best practice and will attempt to sign e-mail using both ed25519-sha256 and "
     "rsa-sha256, where suitable keys have been provided.",
     doc_option},
    {"-dkim-canon:canon", 7,
     "Specifies the DKIM canonical form (simple or relaxed) for the message headers and body. "
     "Supported values are s/s (default), s/r, r/s and r/r.",
     doc_option},
    {"-no-dkim", 7,
     "Disable DKIM signing of the message. This setting allows you to ignore any DKIM records in "
     "the configuration and send via hosts that will alter messages or sign on behalf of your "
     "domain.",
     doc_option},
    {"", 0, "", doc_table_end},
    {"", 0, "Debugging", doc_heading},
    {"", 0, "", doc_table_start},
    {"-d", 5, "Debug mode. Show data to and from the server. Passwords are not logged.",
     doc_option},
    {"-dd", 5,
     "Extended debug mode. As above but adds socket and TLS debugging information. Passwords are "
     "not logged.",
     doc_option},
    {"", 0, "", doc_table_end},
    {"", 0, "Command Line Only", doc_heading},
    {"", 0, "", doc_table_start},
    {"-body-literal", 3,
     "Do not convert line breaks to CRLF on a message body specified using -body-file. The body "
     "will be quoted printable encoded (-body-64 may also be specified).",
     doc_option},
    {"-clutf8", 15,
     "Assume command line parameters are UTF-8. Disables code page conversion and may be necessary "
     "when calling Ostrel from within other applications.",
     doc_option},
    {"-encryptpass:password", 8,
     "Output an encrypted version of the specified password and exit. The encrypted password can "
     "be used with the -host option. Encryption only provides protection against casual password "
     "observation.",
     doc_option},
    {"-bindpass", 8, "Encrypt password using a host-specific key.", doc_option},
    {"-config:file", 15, "Apply the configuration from the specified file.", doc_option},
    {"-nodefault", 15, "Do not apply settings from the default ostrel.conf.", doc_option},
    {"-skipnofile", 11, "Do not check attachments exist before constructing e-mail.", doc_option},
    {"-results:filename", 1,
     "Output e-mail delivery details to a JSON file. Use '-' to output to stdout.", doc_option},
    {"", 0, "", doc_table_end},
    {"", 0, "", doc_end},
};

int cli_help_console(int width, int status) {
    cli_print_usage_hint();
    doc_render_console(doc_usage_table, 0, cli_help_modes, width);
    return status;
}

int cli_help_asciidoc() {
    char banner[256];
    cli_format_banner(banner, sizeof banner);
    // A document with text missing must not leave as if it were whole.
    if (!doc_render_asciidoc(banner, "Usage", doc_usage_table, cli_help_modes))
        throw std::bad_alloc();
    return 0;
}

}  // namespace ostrel
