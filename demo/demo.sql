-- The demo database: a small site whose links still point at an old domain
-- and whose pages picked up injected script text.
create table "文章" (
  id integer primary key,
  "标题" nvarchar(100),
  "摘要" varchar(200),
  "正文" text,
  "作者" nchar(10)
);
insert into "文章" values
  (1, '欢迎访问', '请访问 http://old.example.com/ 了解更多', '<p>首页：<a href="http://old.example.com/index.html">old.example.com</a></p>', '编辑部'),
  (2, 'Release notes', 'Download from http://old.example.com/download', '<p>Fixed bugs.</p><script src="http://evil.example.net/x.js"></script>', 'admin'),
  (3, '没有链接的文章', NULL, NULL, NULL),
  (4, '长文', '很长的正文',
   '<div>' || replace(hex(zeroblob(3000)), '00', '旧站 http://old.example.com/a ') || '</div>', '编辑部');

create table links (
  id integer primary key,
  url varchar(255),
  title nvarchar(100),
  note ntext
);
insert into links values
  (1, 'http://old.example.com/about', '关于我们', NULL),
  (2, 'http://partner.example.org/', 'Partner', 'not ours'),
  (3, 'http://old.example.com/contact', 'Contact', '<script src="http://evil.example.net/x.js"></script>'),
  (4, NULL, NULL, NULL);

create table "order details" (
  order_id integer,
  product varchar(50),
  remark varchar(100)
);
insert into "order details" values
  (1001, 'Widget', 'see http://old.example.com/widget'),
  (1002, '小部件', '');

create table "空表" (id integer, txt nvarchar(50));

create table numbers (id integer, qty int, price real);
insert into numbers values (1, 10, 2.5), (2, 3, 9.99);
